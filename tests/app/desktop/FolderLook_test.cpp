// The locked folder's look on plain folders (no mount needed): what Dolphin
// (.directory) and GNOME Files (GIO metadata::custom-icon) read back, the
// launcher link, the permissions, and the rendered icon.
#include "app/desktop/FolderLook.h"
#include "support/FolderLookProbe.h"

#include "../../support/SharedRuleCases.h"

#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QColor>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace folderlookprobe;

namespace {

// Until the application sets it, the support folder is the library's, as
// hushcoffer-cli finds it (tests/support/SharedRuleCases.h).
TEST(FolderLookSupport, WithoutTheApplicationsChoiceTheSupportFolderIsTheLibrarys) {
    FolderLook::setSupportDirectory({});
    for (const auto& c : sharedrules::supportCases()) {
        SCOPED_TRACE(c.what);
        const sharedrules::SupportEnvironment environment(c);
        EXPECT_EQ(FolderLook::supportDirectory().toStdString(), c.expected.string());
    }
    FolderLook::setSupportDirectory(QStringLiteral("/chosen"));
    EXPECT_EQ(FolderLook::supportDirectory(), QStringLiteral("/chosen"));
    FolderLook::setSupportDirectory({});
}

QString selfExe() {
    return QString::fromStdString(fs::read_symlink("/proc/self/exe").string());
}

class FolderLookTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        root = tmp.path();
        support = root + "/support";
        FolderLook::setSupportDirectory(support);
        oldDataHome = qgetenv("XDG_DATA_HOME");
        oldDataDirs = qgetenv("XDG_DATA_DIRS");
        dataHome = root + "/share";
        qputenv("XDG_DATA_HOME", dataHome.toUtf8());
        qputenv("XDG_DATA_DIRS", (root + "/system-share").toUtf8()); // no installation
        // a vault "Docs" in root: the hidden directory and the visible folder
        fs::create_directory((root + "/.Docs.hushcoffer").toStdString());
        folder = root + "/Docs";
        fs::create_directory(folder.toStdString());
        ::chmod(folder.toUtf8().constData(), 0555);
        vaultkit::VaultConfig config;
        config.name = "Docs";
        vault = std::make_unique<vaultkit::Vault>((root + "/.Docs.hushcoffer").toStdString(), config);
    }
    void TearDown() override {
        restore("XDG_DATA_HOME", oldDataHome);
        restore("XDG_DATA_DIRS", oldDataDirs);
        FolderLook::setSupportDirectory({});
        ::chmod(folder.toUtf8().constData(), 0755);
    }
    static void restore(const char* name, const QByteArray& value) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    // Installs a desktop entry under `dataDir`/applications with this Exec=.
    QString install(const QString& dataDir, const QString& exec) {
        fs::create_directories((dataDir + "/applications").toStdString());
        const QString file = dataDir + "/applications/" + FolderLook::desktopFileName;
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Desktop Entry]\nType=Application\nName=Hushcoffer\nExec=" + exec.toUtf8() + "\n");
        return file;
    }
    QString iconFile() const { return support + "/" + FolderLook::iconFileName; }

    QTemporaryDir tmp;
    QString root, support, folder, dataHome;
    QByteArray oldDataHome, oldDataDirs;
    std::unique_ptr<vaultkit::Vault> vault;
};

TEST_F(FolderLookTest, OutsideAnInstallationSetsTheIconMakesNoLinkAndEndsReadOnly) {
    LogCapture log;
    for (int run = 0; run < 2; ++run) { // idempotent
        FolderLook::applyLocked(*vault);
        EXPECT_EQ(directoryIcon(folder), iconFile()) << "run " << run;
        EXPECT_EQ(gioCustomIcon(folder), QUrl::fromLocalFile(iconFile()).toString(QUrl::FullyEncoded));
        EXPECT_TRUE(launcherLinks(folder).empty());
        EXPECT_EQ(modeOf(folder), 0555);
    }
    QImage png(iconFile());
    EXPECT_EQ(png.size(), QSize(512, 512));
    // the look's files never count as content of the folder
    EXPECT_TRUE(vaultkit::Vault::visibleItems(folder.toStdString()).empty());
    EXPECT_TRUE(log.errors().empty()) << ::testing::PrintToString(log.errors());
}

TEST_F(FolderLookTest, InstalledApplicationLeavesExactlyOneLauncherLink) {
    const QString desktop = install(dataHome, selfExe() + " %U");
    ::chmod(folder.toUtf8().constData(), 0755);
    // launchers of earlier runs, another language and the other platform's,
    // and a link of the user's that is no launcher
    fs::create_symlink("/opt/old/app.hushcoffer.Hushcoffer.desktop",
                       (folder + "/Mit Hushcoffer öffnen").toStdString());
    fs::create_symlink("/Applications/Hushcoffer.app", (folder + "/Hushcoffer").toStdString());
    fs::create_symlink(desktop.toStdString(), (folder + "/" + kx("launcher.name")).toStdString());
    fs::create_symlink("/etc/hostname", (folder + "/notes").toStdString());
    ::chmod(folder.toUtf8().constData(), 0555);

    for (int run = 0; run < 2; ++run) {
        FolderLook::applyLocked(*vault);
        EXPECT_EQ(launcherLinks(folder),
                  std::vector<std::string>{(kx("launcher.name") + " -> " + desktop).toStdString()})
            << "run " << run;
        EXPECT_TRUE(fs::is_symlink((folder + "/notes").toStdString()));
        EXPECT_EQ(directoryIcon(folder), iconFile());
        EXPECT_EQ(modeOf(folder), 0555);
    }
    EXPECT_EQ(kx("launcher.name"), QStringLiteral("Unlock with Hushcoffer"));
}

TEST_F(FolderLookTest, OnlyTheDesktopEntryOfThisExecutableCountsAsAnInstallation) {
    const QString self = selfExe();
    const QString dir = QFileInfo(self).absolutePath();
    const QString base = QFileInfo(self).fileName();
    const struct {
        const char* what;
        QString exec;
        bool installed;
    } cases[] = {
        {"absolute path", self, true},
        {"with field codes", self + " %U", true},
        {"quoted", "\"" + self + "\" --flag", true},
        {"through env", "env QT_SCALE_FACTOR=1 " + self, true},
        {"another program (a build tree next to an installation)", "/usr/bin/true %U", false},
        {"a program not on the PATH", "hushcoffer-not-installed", false},
        {"no Exec line at all", "", false},
    };
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", dir.toUtf8() + ":/usr/bin:/bin");
    for (const auto& c : cases) {
        const QString file = install(dataHome, c.exec);
        if (c.exec.isEmpty()) { // an entry without Exec=
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("[Desktop Entry]\nName=Hushcoffer\n");
        }
        const auto found = FolderLook::installedDesktopFile();
        EXPECT_EQ(found.has_value(), c.installed) << c.what;
        if (found) {
            EXPECT_EQ(*found, file) << c.what;
        }
    }
    // found by name through the PATH, in a system data folder
    fs::remove_all((dataHome + "/applications").toStdString());
    const QString system = install(root + "/system-share", base);
    EXPECT_EQ(FolderLook::installedDesktopFile(), std::optional<QString>(system));
    // the user's own entry comes first and hides the system's
    install(dataHome, "/usr/bin/true");
    EXPECT_EQ(FolderLook::installedDesktopFile(), std::nullopt);
    qputenv("PATH", oldPath);
}

TEST_F(FolderLookTest, RemovedOrReplacedVisibleFolderIsLeftAlone) {
    LogCapture log;
    ::chmod(folder.toUtf8().constData(), 0755);
    fs::remove(folder.toStdString());
    FolderLook::applyLocked(*vault);
    EXPECT_FALSE(fs::exists(folder.toStdString())); // not made again
    EXPECT_TRUE(log.errors().empty());

    // a link in its place: the folder it points to keeps its mode and content
    const QString elsewhere = root + "/elsewhere";
    fs::create_directory(elsewhere.toStdString());
    ::chmod(elsewhere.toUtf8().constData(), 0700);
    fs::create_directory_symlink(elsewhere.toStdString(), folder.toStdString());
    FolderLook::applyLocked(*vault);
    EXPECT_EQ(modeOf(elsewhere), 0700);
    EXPECT_FALSE(fs::exists((elsewhere + "/.directory").toStdString()));
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].rfind("folder look (locked): ", 0), 0u);
    fs::remove(folder.toStdString());
}

TEST_F(FolderLookTest, FailuresAreLoggedAndTheFolderStillEndsReadOnly) {
    LogCapture log;
    // the icon cannot be written (the support folder cannot be made) and GIO's
    // metadata service cannot be reached (no session bus)
    FolderLook::setSupportDirectory("/dev/null/support");
    const QByteArray oldBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    FolderLook::applyLocked(*vault);
    EXPECT_EQ(modeOf(folder), 0555);
    EXPECT_EQ(directoryIcon(folder), std::nullopt);
    FolderLook::setSupportDirectory(support);
    FolderLook::applyLocked(*vault); // the icon now, GIO still failing
    qputenv("DBUS_SESSION_BUS_ADDRESS", oldBus);

    EXPECT_EQ(directoryIcon(folder), iconFile());
    EXPECT_EQ(modeOf(folder), 0555);
    const auto errors = log.errors();
    ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(errors);
    for (const auto& e : errors)
        EXPECT_EQ(e.rfind("folder look (locked): ", 0), 0u) << e;
    EXPECT_NE(errors[0].find("/dev/null/support"), std::string::npos);
    EXPECT_NE(errors[1].find("gio set"), std::string::npos);
}

TEST_F(FolderLookTest, RefreshOfALockedVaultAppliesTheLockedLookAndUnlockedResetNeedsAMount) {
    FolderLook::refresh(*vault);
    EXPECT_EQ(directoryIcon(folder), iconFile());
    ASSERT_TRUE(gioCustomIcon(folder).has_value());
    // not mounted: the unlocked reset does nothing
    FolderLook::applyUnlocked(*vault);
    EXPECT_TRUE(gioCustomIcon(folder).has_value());
}

TEST(FolderLookIcon, PadlockSitsBelowTheMiddleOnTheFolderWithAShadow) {
    const QImage icon = FolderLook::lockedIcon();
    ASSERT_EQ(icon.size(), QSize(512, 512));
    const QString out = qEnvironmentVariable("HC_FOLDERLOOK_ICON_OUT");
    if (!out.isEmpty()) icon.save(out); // for looking at it

    // the padlock's body (the lower part of the 150 x 190 symbol centred
    // 30 px below the middle) is white, left and right of the keyhole
    for (const QPoint p : {QPoint(216, 320), QPoint(296, 320), QPoint(256, 370), QPoint(256, 225)})
        EXPECT_EQ(icon.pixelColor(p), QColor(Qt::white)) << p.x() << "," << p.y();
    // the keyhole shows the folder
    EXPECT_NE(icon.pixelColor(256, 330), QColor(Qt::white));
    // the shadow darkens the folder just below the padlock's body, and fades
    // out further away
    const QColor nearShadow = icon.pixelColor(256, 380);
    const QColor farAway = icon.pixelColor(256, 420);
    EXPECT_LT(nearShadow.lightness(), farAway.lightness());
    // the whole folder is there: opaque in the middle of its front
    EXPECT_EQ(icon.pixelColor(120, 350).alpha(), 255);
}

TEST(FolderLookIcon, TheDesktopThemesFolderIsUsedWhenThereIsOne) {
    if (!QFile::exists("/usr/share/icons/Adwaita/index.theme")) GTEST_SKIP() << "no Adwaita icon theme";
    // what a desktop's platform theme provides (the offscreen platform has
    // neither a theme nor its search paths)
    const QString before = QIcon::themeName();
    const QStringList beforePaths = QIcon::themeSearchPaths();
    QIcon::setThemeSearchPaths(beforePaths + QStringList{"/usr/share/icons"});
    QIcon::setThemeName("hc-no-such-theme");
    const QImage bundled = FolderLook::lockedIcon();
    QIcon::setThemeName("Adwaita");
    const QImage themed = FolderLook::lockedIcon();
    QIcon::setThemeName(before);
    QIcon::setThemeSearchPaths(beforePaths);
    const QString out = qEnvironmentVariable("HC_FOLDERLOOK_ICON_OUT");
    if (!out.isEmpty()) themed.save(QString(out).replace(".png", "-themed.png"));

    EXPECT_NE(themed, bundled);
    // the padlock is drawn over either folder
    EXPECT_EQ(themed.pixelColor(216, 320), QColor(Qt::white));
}

} // namespace
