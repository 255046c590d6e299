// The application as a whole, with real vaults (gocryptfs over FUSE, as an
// ordinary user): the self-test of the built executable, the screenshot
// mode's pictures of the main window in light and dark, and the tray symbol
// following a volume unmounted by hand.
#include "app/desktop/FolderLook.h"
#include "app/model/AppModel.h"
#include "app/shell/TrayIcon.h"
#include "app/window/BannerView.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxui/KXSnapshot.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/vault/Vault.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QSaveFile>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <unistd.h>

namespace fs = std::filesystem;
using vaultkit::Vault;

namespace {

using uitest::spinUntil;

const std::string kPassword = "correct horse 1";

// The built application: beside this program (run-as-user copies it there),
// else in the build tree.
QString hushcofferExecutable() {
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/hushcoffer");
    if (QFileInfo(beside).isExecutable()) return beside;
    return QStringLiteral(HC_HUSHCOFFER_EXE);
}

// Where the pictures go, kept after the test for people to look at.
QString screenshotFolder() {
    return QStringLiteral("/tmp/hushcoffer-screenshots-%1").arg(::getuid());
}

struct AppRun {
    int status = -1;
    QString out;
    QString err;
};

class AppShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        vaults = tmp / "vaults";
        fs::create_directories(vaults);
    }
    void TearDown() override {
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
        vaulttest::unmountAllBelow(tmp.path());
    }

    std::shared_ptr<Vault> makeVault(const std::string& name) {
        return Vault::create(vaults, name, kPassword, vaultkit::Mnemonic::generate(), {},
                             vaulttest::fastGocryptfs());
    }

    // vaults.json in the support folder listing these vault directories.
    void writeRegistry(const std::vector<std::shared_ptr<Vault>>& list) {
        QJsonArray paths;
        for (const auto& v : list)
            paths.append(QString::fromStdString(v->dir().string()));
        QSaveFile file(QString::fromStdString((support / "vaults.json").string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(paths).toJson(QJsonDocument::Compact));
        ASSERT_TRUE(file.commit());
    }

    // Starts the application with its folders in the temporary folder and
    // waits for it to end.
    AppRun runApp(const QStringList& env, int timeoutMs = 60000, const QStringList& arguments = {}) {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        const QString base = QString::fromStdString(tmp.path().string());
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        e.insert(QStringLiteral("HC_SUPPORT_DIR"), QString::fromStdString(support.string()));
        e.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
        e.insert(QStringLiteral("XDG_DATA_HOME"), base + QStringLiteral("/data"));
        e.insert(QStringLiteral("XDG_STATE_HOME"), base + QStringLiteral("/state"));
        e.insert(QStringLiteral("XDG_RUNTIME_DIR"), base);
        e.insert(QStringLiteral("KX_TELEMETRY"), QStringLiteral("0"));
        e.insert(QStringLiteral("KX_SERVICE_BASE"), QString());
        e.remove(QStringLiteral("HC_SELFTEST_PASSWORD"));
        e.remove(QStringLiteral("KX_SNAPSHOT_WINDOW"));
        e.remove(QStringLiteral("HC_DEMO"));
        for (const QString& kv : env)
            e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
        p.setProcessEnvironment(e);
        p.start(hushcofferExecutable(), arguments);
        AppRun r;
        if (!p.waitForStarted(10000)) {
            r.err = p.errorString();
            return r;
        }
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            r.err = QStringLiteral("timed out");
            return r;
        }
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err += QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    vaulttest::TempDir tmp{"hc-shell"};
    fs::path support;
    fs::path vaults;
};

double meanLightness(const QImage& image) {
    double sum = 0;
    int n = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4) {
            sum += QColor(image.pixel(x, y)).lightness();
            ++n;
        }
    return n ? sum / n : 0;
}

// A picture of a window: the window's size, drawn (many colours), and
// light or dark as asked.
void expectPicture(const QString& file, const QString& appearance, QSize least = {780, 540}) {
    QImage image(file);
    ASSERT_FALSE(image.isNull()) << file.toStdString();
    EXPECT_GE(image.width(), least.width()) << file.toStdString();
    EXPECT_GE(image.height(), least.height()) << file.toStdString();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3)
            colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 40) << "looks blank: " << file.toStdString();
    const double lightness = meanLightness(image);
    if (appearance == QLatin1String("light"))
        EXPECT_GT(lightness, 170) << file.toStdString();
    else
        EXPECT_LT(lightness, 90) << file.toStdString();
}

} // namespace

// ---- Self-test ----------------------------------------------------------------------

TEST_F(AppShellTest, SelfTestWithTheRightPasswordUnlocksLocksAndExitsZero) {
    auto vault = makeVault("Private");
    vault->lock(false);
    writeRegistry({vault});
    const AppRun r = runApp({QStringLiteral("HC_SELFTEST_PASSWORD=") + QString::fromStdString(kPassword)});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("selftest unlock=true"));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("selftest locked=true items=[")))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QLatin1Char(']'))) << lines[1].toStdString();
    EXPECT_TRUE(r.out.endsWith(QLatin1Char('\n')));
    EXPECT_FALSE(vaulttest::fastGocryptfs()->isMountPoint(vault->mountPoint()));
}

TEST_F(AppShellTest, SelfTestWithAWrongPasswordStillLocksAndExitsOne) {
    auto vault = makeVault("Private");
    vault->lock(false);
    writeRegistry({vault});
    const AppRun r = runApp({QStringLiteral("HC_SELFTEST_PASSWORD=not the password")});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << r.out.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("selftest unlock=false"));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("selftest locked=true items=")));
}

TEST_F(AppShellTest, SelfTestOfAVaultAlreadyUnlockedLocksIt) {
    // unlock returns at once when the volume is mounted; the lock must still
    // take it down
    auto vault = makeVault("Open");
    writeRegistry({vault});
    const AppRun r = runApp({QStringLiteral("HC_SELFTEST_PASSWORD=") + QString::fromStdString(kPassword)});
    EXPECT_EQ(r.status, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("selftest unlock=true\nselftest locked=true")));
    EXPECT_FALSE(vaulttest::fastGocryptfs()->isMountPoint(vault->mountPoint()));
}

// ---- Lock all from the command line -------------------------------------------------

// With no instance running, `hushcoffer --lock-all` locks the vaults itself
// and ends, whether there is anything to lock or not; a vault in use stays
// unlocked, is named, and the exit status says so.
TEST_F(AppShellTest, LockAllWithoutARunningInstanceLocksTheVaultsItselfAndEnds) {
    struct Case {
        const char* what;
        int vaults;   // registered
        int unlocked; // of them, the first ones
        bool busy;    // the first unlocked one is in use
    };
    const Case cases[] = {
        {"no vault registered", 0, 0, false},
        {"nothing unlocked", 1, 0, false},
        {"one of two unlocked", 2, 1, false},
        {"a vault in use", 1, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::shared_ptr<Vault>> list;
        for (int i = 0; i < c.vaults; ++i) {
            list.push_back(makeVault(std::string(c.what) + " " + std::to_string(i)));
            if (i >= c.unlocked) list.back()->lock(false);
        }
        writeRegistry(list);
        std::optional<QProcess> holder;
        if (c.busy) {
            holder.emplace();
            holder->setWorkingDirectory(QString::fromStdString(list[0]->mountPoint().string()));
            holder->start(QStringLiteral("/bin/sleep"), {QStringLiteral("120")});
            ASSERT_TRUE(holder->waitForStarted(10000));
        }
        const AppRun r = runApp({}, 60000, {QStringLiteral("--lock-all")});
        EXPECT_NE(r.err, QStringLiteral("timed out"));
        EXPECT_EQ(r.status, c.busy ? 1 : 0) << r.err.toStdString();
        for (int i = 0; i < c.vaults; ++i)
            EXPECT_EQ(vaulttest::fastGocryptfs()->isMountPoint(list[i]->mountPoint()), c.busy && i == 0) << i;
        if (c.busy) {
            EXPECT_TRUE(r.err.contains(QString::fromStdString(list[0]->name()))) << r.err.toStdString();
            holder->kill();
            holder->waitForFinished();
            list[0]->lock(true);
        }
    }
}

// ---- Screenshot mode ------------------------------------------------------------------

TEST_F(AppShellTest, ScreenshotModeDrawsTheMainWindowEmptyAndWithALockedVault) {
    const QString out = screenshotFolder();
    QDir().mkpath(out);
    for (const QString& appearance : {QStringLiteral("light"), QStringLiteral("dark")}) {
        SCOPED_TRACE(appearance.toStdString());
        // empty
        const QString emptyDir = out + QStringLiteral("/empty-") + appearance;
        AppRun r = runApp({QStringLiteral("KX_SNAPSHOT_WINDOW=main"),
                           QStringLiteral("KX_SNAPSHOT_APPEARANCE=") + appearance,
                           QStringLiteral("KX_SNAPSHOT_OUT=") + emptyDir});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        expectPicture(emptyDir + QStringLiteral("/main.png"), appearance);
    }
    auto vault = makeVault("Private");
    vault->lock(false);
    writeRegistry({vault});
    for (const QString& appearance : {QStringLiteral("light"), QStringLiteral("dark")}) {
        SCOPED_TRACE(appearance.toStdString());
        const QString lockedDir = out + QStringLiteral("/locked-") + appearance;
        AppRun r = runApp({QStringLiteral("KX_SNAPSHOT_WINDOW=main"),
                           QStringLiteral("KX_SNAPSHOT_APPEARANCE=") + appearance,
                           QStringLiteral("KX_SNAPSHOT_OUT=") + lockedDir});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        expectPicture(lockedDir + QStringLiteral("/main.png"), appearance);
    }
    // an unknown name is an error, and the known ones are still drawn
    const QString mixedDir = out + QStringLiteral("/mixed");
    AppRun r = runApp({QStringLiteral("KX_SNAPSHOT_WINDOW=nosuchwindow,main"),
                       QStringLiteral("KX_SNAPSHOT_OUT=") + mixedDir});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("nosuchwindow")));
    EXPECT_TRUE(QFileInfo::exists(mixedDir + QStringLiteral("/main.png")));
    std::printf("screenshots in %s\n", qPrintable(out));
}

TEST_F(AppShellTest, ScreenshotOfAnUnlockedVaultWithABanner) {
    FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
    vaultkit::DiskImage::setPlatformDefault(vaulttest::fastGocryptfs());
    auto vault = makeVault("Private");
    vault->lock(false);
    writeRegistry({vault});
    AppModel model(QString::fromStdString(support.string()));
    ASSERT_EQ(model.vaults().size(), 1U);
    const auto v = model.vaults().front();
    // a real action that ends in a banner: changing the password of an
    // unlocked vault locks it, changes it and unlocks it again
    std::optional<bool> unlocked;
    model.unlock(v, QString::fromStdString(kPassword), [&](bool ok) { unlocked = ok; });
    ASSERT_TRUE(spinUntil([&] { return unlocked.has_value(); }, 30));
    ASSERT_TRUE(*unlocked);
    vaulttest::writeFile(v->mountPoint() / "notes.txt", "hello");
    std::optional<bool> changed;
    model.changePassword(v, QString::fromStdString(kPassword), QStringLiteral("a new password 2"),
                         [&](bool ok) { changed = ok; });
    ASSERT_TRUE(spinUntil([&] { return changed.has_value(); }, 60));
    ASSERT_TRUE(*changed);
    ASSERT_TRUE(spinUntil([&] { return model.working().empty() && model.isUnlocked(v); }, 30));
    ASSERT_TRUE(model.message().has_value());

    MainWindow window(&model, QStringLiteral("Hushcoffer"), {});
    window.show();
    const QString out = screenshotFolder() + QStringLiteral("/unlocked-banner");
    for (const QString& appearance : {QStringLiteral("light"), QStringLiteral("dark")}) {
        SCOPED_TRACE(appearance.toStdString());
        ASSERT_TRUE(KXStyle::applyAppearance(appearance));
        QApplication::processEvents();
        ASSERT_NE(window.rootView()->detail(), nullptr);
        EXPECT_FALSE(uitest::named<QWidget>(window.rootView()->detail(), "unlockedCards")->isHidden());
        EXPECT_FALSE(window.rootView()->banner()->isHidden());
        QDir().mkpath(out);
        const QString file = out + QStringLiteral("/main-") + appearance + QStringLiteral(".png");
        ASSERT_TRUE(KXSnapshot::drawTo(&window, file));
        expectPicture(file, appearance);
    }
    vaultkit::DiskImage::setPlatformDefault(nullptr);
    std::optional<bool> locked;
    model.lock(v, true, [&](bool ok) { locked = ok; });
    spinUntil([&] { return locked.has_value(); }, 30);
}

TEST_F(AppShellTest, ScreenshotModeDrawsEveryStepOfCreationAndEverySheet) {
    auto vault = makeVault("Private");
    vault->lock(false);
    writeRegistry({vault});
    struct Shot {
        QString window, demo, folder;
    };
    const Shot shots[] = {
        {"create", "create0", "create-0"},     {"create", "create1", "create-1"},
        {"create", "create2", "create-2"},     {"create", "create3", "create-3"},
        {"recover", {}, "recover"},            {"changePassword", {}, "changePassword"},
        {"touchID", {}, "touchID"},            {"regenerate", {}, "regenerate"},
        {"mnemonic", {}, "mnemonic"},          {"importResult", {}, "importResult"},
    };
    const QString out = screenshotFolder() + QStringLiteral("/sheets");
    for (const QString& appearance : {QStringLiteral("light"), QStringLiteral("dark")}) {
        for (const Shot& shot : shots) {
            SCOPED_TRACE((appearance + QLatin1Char(' ') + shot.folder).toStdString());
            const QString dir = out + QLatin1Char('/') + appearance + QLatin1Char('/') + shot.folder;
            QStringList env = {QStringLiteral("KX_SNAPSHOT_WINDOW=") + shot.window,
                               QStringLiteral("KX_SNAPSHOT_APPEARANCE=") + appearance,
                               QStringLiteral("KX_SNAPSHOT_OUT=") + dir};
            if (!shot.demo.isEmpty()) env << QStringLiteral("HC_DEMO=") + shot.demo;
            const AppRun r = runApp(env);
            ASSERT_EQ(r.status, 0) << r.err.toStdString();
            expectPicture(dir + QLatin1Char('/') + shot.window + QStringLiteral(".png"), appearance, {300, 150});
        }
    }
    std::printf("screenshots in %s\n", qPrintable(out));
}

// ---- Tray ----------------------------------------------------------------------------

TEST_F(AppShellTest, TraySymbolFollowsAVolumeUnmountedByHandWithinTwoSeconds) {
    FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
    auto vault = makeVault("Private");
    vault->lock(false);
    writeRegistry({vault});
    vaultkit::DiskImage::setPlatformDefault(vaulttest::fastGocryptfs());
    AppModel model(QString::fromStdString(support.string()));
    vaultkit::DiskImage::setPlatformDefault(nullptr);
    const auto v = model.vaults().front();
    TrayIcon tray(&model, {});
    EXPECT_EQ(tray.symbol(), QStringLiteral("lock.fill"));
    std::optional<bool> unlocked;
    model.unlock(v, QString::fromStdString(kPassword), [&](bool ok) { unlocked = ok; });
    ASSERT_TRUE(spinUntil([&] { return unlocked.has_value(); }, 30));
    ASSERT_TRUE(*unlocked);
    ASSERT_TRUE(spinUntil([&] { return tray.symbol() == QStringLiteral("lock.open.fill"); }, 3));

    const auto r =
        vaultkit::Exec::runSync("/usr/bin/fusermount3", {"-u", v->mountPoint().string()}, std::nullopt, 20);
    ASSERT_EQ(r.status, 0) << r.stderrText;
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(spinUntil([&] { return tray.symbol() == QStringLiteral("lock.fill"); }, 5));
    EXPECT_LE(t.elapsed(), 2500);
    EXPECT_EQ(tray.menu()->actions().first()->text(), kx("menu.unlockOne", QStringLiteral("Private")));
}
