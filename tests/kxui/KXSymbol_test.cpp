#include "KXUITestSupport.h"

#include "kxui/KXSymbol.h"
#include "kxui/SettingsView.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QTabWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// An icon theme of the given icons (name -> SVG text) in a temporary folder,
// made the current theme for the test's lifetime (hicolor stays the last
// resort, as on every desktop).
class ThemeFixture {
public:
    explicit ThemeFixture(const QMap<QString, QByteArray>& icons) {
        ensureQtApplication();
        savedPaths_ = QIcon::themeSearchPaths();
        savedName_ = QIcon::themeName();
        savedFallback_ = QIcon::fallbackThemeName();
        const QString theme = dir_.path() + QStringLiteral("/bare");
        QDir().mkpath(theme + QStringLiteral("/scalable/places"));
        write(theme + QStringLiteral("/index.theme"),
              "[Icon Theme]\nName=bare\nDirectories=scalable/places\n\n"
              "[scalable/places]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\n");
        for (auto it = icons.begin(); it != icons.end(); ++it)
            write(theme + QStringLiteral("/scalable/places/") + it.key() + QStringLiteral(".svg"), it.value());
        QIcon::setThemeSearchPaths({dir_.path()});
        QIcon::setThemeName(QStringLiteral("bare"));
        QIcon::setFallbackThemeName(QStringLiteral("bare"));
        KXSymbol::clearCache();
    }
    ~ThemeFixture() {
        QIcon::setThemeSearchPaths(savedPaths_);
        QIcon::setThemeName(savedName_);
        QIcon::setFallbackThemeName(savedFallback_);
        KXSymbol::clearCache();
    }

private:
    static void write(const QString& path, const QByteArray& data) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QTemporaryDir dir_;
    QStringList savedPaths_;
    QString savedName_;
    QString savedFallback_;
};

// How much of a picture is drawn: the share of pixels that are not fully
// transparent, and of those fully opaque.
double coverage(const QImage& image) {
    const QImage img = image.convertToFormat(QImage::Format_ARGB32);
    qsizetype drawn = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) > 0) ++drawn;
    return double(drawn) / double(img.width() * img.height());
}

TEST(KXSymbolTest, EverySymbolHasAShapeWhenTheThemeLacksItsNames) {
    ThemeFixture theme({});
    for (const auto& entry : KXSymbol::table()) {
        SCOPED_TRACE(entry.symbol.toStdString());
        EXPECT_FALSE(KXSymbol::fromTheme(entry.symbol));
        for (const QIcon& icon : {KXSymbol::icon(entry.symbol), KXSymbol::tinted(entry.symbol, Qt::white)}) {
            ASSERT_FALSE(icon.isNull());
            const double c = coverage(icon.pixmap(32, 32).toImage());
            // a shape: something drawn, but not the whole square
            EXPECT_GT(c, 0.03);
            EXPECT_LT(c, 0.97);
        }
    }
}

TEST(KXSymbolTest, ThemeIconIsUsedWhenPresentAndAnOpaqueOrEmptyOneFallsBackToTheBundledShape) {
    // a theme drawing of the folder symbol that is a plain disc: used as is
    const QByteArray disc = "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                            "<circle cx='8' cy='8' r='4' fill='#336699'/></svg>";
    {
        ThemeFixture theme({{QStringLiteral("folder-symbolic"), disc}});
        EXPECT_TRUE(KXSymbol::fromTheme(QStringLiteral("folder")));
        const QImage img = KXSymbol::pixmap(QStringLiteral("folder"), 32, Qt::white).toImage();
        EXPECT_NEAR(coverage(img), 3.14159 * 64 / 1024, 0.06) << "the theme's disc, tinted";
    }
    // a theme drawing with no transparent pixel (a full-colour picture on its
    // own background) would tint to a filled square; one that draws nothing
    // would leave the button blank: both give way to the bundled shape
    const QByteArray square = "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                              "<rect width='16' height='16' fill='#336699'/></svg>";
    const QByteArray empty = "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'></svg>";
    for (const QByteArray& svg : {square, empty}) {
        ThemeFixture theme({{QStringLiteral("folder-symbolic"), svg}});
        const double c = coverage(KXSymbol::pixmap(QStringLiteral("folder"), 32, Qt::white).toImage());
        EXPECT_GT(c, 0.03);
        EXPECT_LT(c, 0.97);
    }
}

TEST(KXSymbolTest, FolderSymbolIsNotTheThemesFullColourFolderFilledIntoABlock) {
    // a full-colour folder as themes draw it: a body that fills its square
    // but for rounded corners
    const QByteArray colourful = "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                                 "<rect x='1' y='2' width='14' height='12' rx='2' fill='#e8a33c'/>"
                                 "<rect x='2' y='5' width='12' height='8' fill='#f6c86a'/></svg>";
    QImage bundled;
    {
        ThemeFixture theme({});
        bundled = KXSymbol::pixmap(QStringLiteral("folder"), 16, Qt::white).toImage();
    }
    ThemeFixture theme({{QStringLiteral("folder"), colourful}});
    EXPECT_EQ(KXSymbol::pixmap(QStringLiteral("folder"), 16, Qt::white).toImage(), bundled);
    // the bundled folder is a drawing, not a block: much of its outline's
    // inside stays clear
    EXPECT_LT(coverage(bundled), 0.5);
}

TEST(KXSymbolTest, SettingsTabsShowTheirSymbolsWhenTheThemeLacksTheirNames) {
    testContext();
    ThemeFixture theme({});
    kxui::SettingsView view(testContext());
    ASSERT_EQ(view.tabs()->count(), 4);
    for (int i = 0; i < view.tabs()->count(); ++i) {
        SCOPED_TRACE(view.tabs()->tabText(i).toStdString());
        const QIcon icon = view.tabs()->tabIcon(i);
        ASSERT_FALSE(icon.isNull());
        const double c = coverage(icon.pixmap(32, 32).toImage());
        EXPECT_GT(c, 0.03);
        EXPECT_LT(c, 0.97);
    }
}

} // namespace
