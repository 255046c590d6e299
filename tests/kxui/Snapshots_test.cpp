// Draws every framework window in the light and the dark appearance. The
// pictures are checked for being drawn at all (not blank, light differs from
// dark); with HC_SNAPSHOT_DIR set they are also written there as PNG files
// to be looked at.
#include "KXUITestSupport.h"

#include "kxui/AboutWindow.h"
#include "kxui/FeedbackView.h"
#include "kxui/KXSnapshot.h"
#include "kxui/KXStyle.h"
#include "kxui/SettingsView.h"

#include <QDialog>
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QTabWidget>

#include <gtest/gtest.h>

using namespace kxui;

namespace {

void settle() {
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// The number of distinct colours in a picture (a blank one has one).
int colours(const QImage& image) {
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            seen.insert(image.pixel(x, y));
    return int(seen.size());
}

TEST(Snapshots, EveryWindowDrawsInLightAndDark) {
    KXContext& ctx = testContext();
    clearSettings();
    const QString out = qEnvironmentVariable("HC_SNAPSHOT_DIR");
    if (!out.isEmpty()) QDir().mkpath(out);
    std::map<QString, QImage> light;
    for (const char* appearance : {"light", "dark"}) {
        ASSERT_TRUE(KXStyle::applyAppearance(QLatin1String(appearance)));
        std::vector<std::pair<QString, QWidget*>> windows;
        AboutWindow* about = AboutWindow::show(ctx);
        windows.push_back({"about", about});
        SettingsView settings(ctx);
        settings.show();
        for (int tag : SettingsView::tags) {
            settings.selectTab(tag);
            settle();
            windows.push_back({"settings-" + QString::number(tag), nullptr});
            QImage image = settings.grab().toImage();
            const QString name = "settings-" + QString::number(tag);
            EXPECT_GT(colours(image), 8) << name.toStdString();
            if (!out.isEmpty()) image.save(out + "/" + name + "-" + appearance + ".png");
            if (QLatin1String(appearance) == QLatin1String("light"))
                light[name] = image;
            else
                EXPECT_NE(image, light[name]) << name.toStdString();
        }
        QDialog* feedback = FeedbackView::openDialog(ctx, kxcore::FeedbackRequest("menu"));
        feedback->findChild<FeedbackView*>()->setPreviewExpanded(true);
        windows.push_back({"feedback", feedback});
        settle();
        for (const auto& [name, widget] : windows) {
            if (!widget) continue;
            QImage image = widget->grab().toImage();
            EXPECT_GT(colours(image), 8) << name.toStdString();
            if (!out.isEmpty()) image.save(out + "/" + name + "-" + appearance + ".png");
            if (QLatin1String(appearance) == QLatin1String("light"))
                light[name] = image;
            else
                EXPECT_NE(image, light[name]) << name.toStdString();
        }
        feedback->close();
        about->close();
        settle();
    }
    KXStyle::applyAppearance("light");
}

} // namespace
