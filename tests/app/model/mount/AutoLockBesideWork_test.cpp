// Automatic and quit locks while other work runs on the vault, with real
// vaults: an import whose copy hangs (its source is a second volume whose
// daemon is stopped) does not hold back the sleep pass or the quit pass; a
// pass that outlasts the sleep delay lets the computer sleep and leaves the
// next event a pass of its own; a folder-look tool that hangs holds neither
// the pass nor the window's event loop.
#include "app/desktop/FolderLook.h"
#include "app/desktop/LogindSleepMonitor.h"
#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "app/model/Notices.h"
#include "app/model/VaultWorkRunner.h"
#include "app/shell/AppDelegate.h"
#include "model/support/ModelTestSupport.h"
#include "model/support/TestDiskImage.h"
#include "support/ChildProcess.h"

#include "kxui/kx.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"

#include <QDBusArgument>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace modeltest;
using vaultkit::Vault;
using vaultkit::VaultError;
using VaultPtr = AppModel::VaultPtr;

namespace {

const std::string kPassword = "correct horse 1";

// A file whose reading hangs until resume(): it lies on a second gocryptfs
// volume whose daemon is stopped. The copier blocks on it like a copy of a
// very large tree that goes on for hours.
class HangingSource {
public:
    explicit HangingSource(const fs::path& dir) {
        fs::create_directories(dir / "image");
        const fs::path image = vaulttest::makeImage(dir / "image", kPassword);
        mount_ = dir / "mounted";
        fs::create_directories(mount_);
        driver_->attach(image, kPassword, mount_);
        file = mount_ / "large.bin";
        vaulttest::writeFile(file, std::string(100'000, 'x'));
        for (const auto& e : vaultkit::MountTable::read())
            if (e.mountPoint == fs::canonical(mount_).string())
                for (const pid_t p : vaultkit::GocryptfsDiskImage::daemonsServing(e))
                    daemon_ = p;
        if (daemon_ > 0) ::kill(daemon_, SIGSTOP);
    }
    ~HangingSource() {
        resume();
        try {
            driver_->detach(mount_.string(), true);
        } catch (...) {
        }
    }
    bool ok() const { return daemon_ > 0; }
    void resume() {
        if (daemon_ > 0) ::kill(daemon_, SIGCONT);
    }
    fs::path file;

private:
    std::shared_ptr<vaultkit::GocryptfsDiskImage> driver_ = vaulttest::fastGocryptfs();
    fs::path mount_;
    pid_t daemon_ = -1;
};

// Keeps the notices the model sends.
class RecordingNotifier final : public Notifier {
public:
    explicit RecordingNotifier(std::vector<std::pair<QString, QString>>* shown)
        : shown_(shown) {}
    void show(const QString& title, const QString& body, const QString&) override {
        shown_->emplace_back(title, body);
    }

private:
    std::vector<std::pair<QString, QString>>* shown_;
};

class BesideWorkTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        driver = std::make_shared<TestDiskImage>(vaulttest::fastGocryptfs());
        fakes = makeFakeSources();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()), fakes.take());
    }
    void TearDown() override {
        AppDelegate::model = nullptr;
        model.reset();
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
    }
    VaultPtr add(const std::string& name) {
        auto vault = Vault::create(tmp.path(), name, kPassword, vaultkit::Mnemonic::generate(), {}, driver);
        model->registerVault(vault);
        return vault;
    }
    static QUrl url(const fs::path& p) { return QUrl::fromLocalFile(QString::fromStdString(p.string())); }
    bool importing(const VaultPtr& v) const { return model->work().isImporting(v); }

    vaulttest::TempDir tmp{"hc-beside"};
    fs::path support;
    std::shared_ptr<TestDiskImage> driver;
    FakeSources fakes;
    std::unique_ptr<AppModel> model;
};

TEST_F(BesideWorkTest, SleepDuringAHangingImportTriesTheLockAtOnceAndEachEventGetsItsPass) {
    std::vector<std::pair<QString, QString>> notices;
    model->notices().setNotifier(std::make_unique<RecordingNotifier>(&notices));
    auto v = add("Docs");
    auto other = add("Other");
    HangingSource source(tmp / "source");
    ASSERT_TRUE(source.ok());
    vaulttest::writeFile(tmp / "second.txt", "second");
    LogLines log;
    std::optional<bool> imported;
    model->importItems(v, {url(source.file), url(tmp / "second.txt")}, [&](bool ok) { imported = ok; });
    ASSERT_TRUE(spinUntil([&] { return importing(v); }, 10));

    // The pass ends while the import still hangs: the vault in use stays
    // unlocked with the usual banner naming the copier, the other one locks.
    fakes.sleep->sleep();
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 1; }, 30));
    EXPECT_TRUE(importing(v));
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_FALSE(other->isUnlocked());
    ASSERT_TRUE(model->message());
    EXPECT_EQ(model->message()->text,
              kx("err.autoLockFailed", "Docs", describe(std::make_exception_ptr(VaultError::busy({"cp"})))));
    // The window may be closed: the same text goes out as a desktop notice.
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "Docs");
    EXPECT_EQ(notices[0].second, model->message()->text);

    // A later sleep has a pass of its own, also while the import hangs.
    model->setMessage(std::nullopt);
    fakes.sleep->sleep();
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 2; }, 30));
    EXPECT_EQ(log.matching("the computer is about to sleep").size(), 2u);
    EXPECT_TRUE(model->message());
    EXPECT_TRUE(importing(v));

    // The import then finishes as usual, both items in the vault.
    source.resume();
    ASSERT_TRUE(spinUntil([&] { return imported.has_value(); }, 60));
    EXPECT_TRUE(*imported);
    EXPECT_TRUE(fs::exists(v->mountPoint() / "large.bin"));
    EXPECT_TRUE(fs::exists(v->mountPoint() / "second.txt"));
}

TEST_F(BesideWorkTest, QuitDuringAHangingImportAsksNamingTheCopierAndForceStopsTheImportFirst) {
    auto v = add("Docs");
    HangingSource source(tmp / "source");
    ASSERT_TRUE(source.ok());
    vaulttest::writeFile(tmp / "second.txt", "second");
    std::optional<bool> imported;
    model->importItems(v, {url(source.file), url(tmp / "second.txt")}, [&](bool ok) { imported = ok; });
    ASSERT_TRUE(spinUntil([&] { return importing(v); }, 10));

    struct ForceAlert final : BusyAlert {
        void ask(const QString& title, const QString& body, const QStringList&,
                 std::function<void(Answer)> answer) override {
            titles << title;
            bodies << body;
            answer(Answer::force);
        }
        QStringList titles, bodies;
    } alert;
    AppDelegate::model = model.get();
    AppDelegate delegate;
    delegate.setSettingsFile(QString::fromStdString((tmp / "settings.ini").string()));
    delegate.setBusyAlert(&alert);
    std::optional<bool> quit;
    ASSERT_EQ(delegate.applicationShouldTerminate([&](bool q) { quit = q; }), AppDelegate::TerminateReply::later);
    ASSERT_TRUE(spinUntil([&] { return quit.has_value(); }, 60));
    EXPECT_TRUE(*quit);
    ASSERT_EQ(alert.titles.size(), 1);
    EXPECT_EQ(alert.titles[0], kx("quit.busy.title", "Docs"));
    EXPECT_EQ(alert.bodies[0], kx("quit.busy.body", "cp"));
    EXPECT_FALSE(v->isUnlocked()); // locked while the import still hung
    EXPECT_EQ(driver->forcedDetaches, 1);

    // The import resumes on a locked vault: it fails and writes nothing into
    // the bare folder (the second item never starts).
    source.resume();
    ASSERT_TRUE(spinUntil([&] { return imported.has_value(); }, 60));
    EXPECT_FALSE(*imported);
    EXPECT_FALSE(fs::exists(v->mountPoint() / "second.txt"));
    EXPECT_FALSE(fs::exists(v->mountPoint() / "large.bin"));
}

TEST_F(BesideWorkTest, APassThatOutlastsTheSleepDelayLetsTheComputerSleepAndTheNextEventHasItsOwnPass) {
    auto v = add("Docs");
    fakes.sleep->limitMs = 300;
    std::atomic<bool> release{false};
    std::atomic<int> detaches{0};
    driver->onDetach([&](const std::string&, bool) {
        ++detaches;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    LogLines log;
    fakes.sleep->sleep();
    ASSERT_TRUE(spinUntil([&] { return detaches == 1; }, 30));
    // The lock hangs; the delay's end lets the computer go.
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 1; }, 30));
    EXPECT_EQ(log.matching("did not end in time").size(), 1u);
    // The next sleep is not dropped: a pass of its own, let go in its turn.
    fakes.sleep->sleep();
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 2; }, 30));
    EXPECT_EQ(log.matching("the computer is about to sleep").size(), 2u);
    release = true;
    ASSERT_TRUE(spinUntil([&] { return !v->isUnlocked(); }, 30));
    spinFor(500);
    // The late passes end without releasing anything again.
    EXPECT_EQ(fakes.sleep->passesDone, 2);
    driver->onDetach({});
}

TEST_F(BesideWorkTest, AHangingFolderLookToolHoldsNeitherTheSleepPassNorTheWindow) {
    // A gio stand-in that writes its PID and hangs until told to go on.
    const fs::path standIn = tmp / "gio";
    const fs::path started = tmp / "gio.pid", release = tmp / "gio.release";
    vaulttest::writeFile(standIn, "#!/bin/sh\necho $$ > '" + started.string() + "'\nwhile [ ! -e '" +
                                      release.string() + "' ]; do sleep 0.05; done\n");
    fs::permissions(standIn, fs::perms(0755));
    FolderLook::setGioProgram(QString::fromStdString(standIn.string()));
    struct Restore {
        ~Restore() { FolderLook::setGioProgram({}); }
    } restore;

    auto v = add("Docs");
    int turns = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++turns; });
    timer.start(20);
    fakes.sleep->sleep();
    // The computer may sleep once the lock is done, whatever the tool does.
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 1; }, 30));
    EXPECT_FALSE(v->isUnlocked());
    // The tool runs (for the locked look) while the window's loop turns.
    ASSERT_TRUE(spinUntil([&] { return fs::exists(started) && fs::file_size(started) > 0; }, 30));
    const pid_t tool = std::stoi(vaulttest::readFile(started));
    EXPECT_EQ(::kill(tool, 0), 0) << "the tool still hangs while the test's loop runs";
    const int before = turns;
    spinFor(200);
    EXPECT_GT(turns, before);
    vaulttest::writeFile(release, "");
    // Then the look is complete: the folder read-only again.
    EXPECT_TRUE(spinUntil(
        [&] { return (fs::status(v->mountPoint()).permissions() & fs::perms::all) == fs::perms(0555); }, 30));
}

TEST_F(BesideWorkTest, OnTheMockLogindASleepDuringAHangingImportReleasesTheDelayAndTheNextSleepHasItsPass) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    QDBusConnection control = bus.connect("hc-control");
    DBusMock logind(bus.address(), true, {"--template", "logind"}, "org.freedesktop.login1", control);
    ASSERT_TRUE(logind.ok()) << logind.errorOutput().toStdString();
    const auto held = [&] {
        const QVariantList reply =
            logind.invoke("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors");
        int n = 0;
        const QDBusArgument arg = reply.value(0).value<QDBusArgument>();
        arg.beginArray();
        while (!arg.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            arg.beginStructure();
            arg >> what >> who >> why >> mode >> uid >> pid;
            arg.endStructure();
            if (what == "sleep" && mode == "delay" && who == "Hushcoffer") ++n;
        }
        arg.endArray();
        return n;
    };
    const auto prepareForSleep = [&](bool start) {
        logind.emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                          {start});
    };
    model.reset();
    EventSources sources;
    sources.sleep = std::make_unique<LogindSleepMonitor>(bus.connect("hc-system"));
    model = std::make_unique<AppModel>(QString::fromStdString(support.string()), std::move(sources));
    auto v = add("Docs");
    ASSERT_TRUE(spinUntil([&] { return held() == 1; }, 10));

    HangingSource source(tmp / "source");
    ASSERT_TRUE(source.ok());
    std::optional<bool> imported;
    model->importItems(v, {url(source.file)}, [&](bool ok) { imported = ok; });
    ASSERT_TRUE(spinUntil([&] { return importing(v); }, 10));
    LogLines log;

    // The lock is tried while the import hangs, and the delay is let go.
    prepareForSleep(true);
    ASSERT_TRUE(spinUntil([&] { return held() == 0; }, 30));
    ASSERT_TRUE(model->message());
    EXPECT_EQ(model->message()->text,
              kx("err.autoLockFailed", "Docs", describe(std::make_exception_ptr(VaultError::busy({"cp"})))));
    EXPECT_TRUE(importing(v));

    // Resume: the delay is taken again (the vault is still unlocked), and the
    // next sleep runs a pass of its own.
    prepareForSleep(false);
    ASSERT_TRUE(spinUntil([&] { return held() == 1; }, 30));
    model->setMessage(std::nullopt);
    prepareForSleep(true);
    ASSERT_TRUE(spinUntil([&] { return held() == 0 && model->message().has_value(); }, 30));
    EXPECT_EQ(log.matching("the computer is about to sleep").size(), 2u);
    EXPECT_TRUE(importing(v));

    source.resume();
    ASSERT_TRUE(spinUntil([&] { return imported.has_value(); }, 60));
    EXPECT_TRUE(*imported);
    prepareForSleep(false);
    model.reset(); // the monitor goes before the mock bus
}

// A screen-lock or idle lock that finds a program holding a file in the vault
// (tail -f, as a user leaves a log open) is tried again while its reason
// holds: it locks once the program lets go and says so, and it stops trying,
// leaving the vault unlocked, once the screen is unlocked or the user is
// back. Never forced.
TEST_F(BesideWorkTest, AnAutomaticLockBesideAHeldFileIsTriedAgainWhileItsReasonHolds) {
    std::vector<std::pair<QString, QString>> notices;
    model->notices().setNotifier(std::make_unique<RecordingNotifier>(&notices));
    model->autoLocking().setAutoLockRetryInterval(50);
    struct Case {
        const char* name;
        bool screen;       // else idle
        bool reasonEnds;   // the screen is unlocked / the user is back before the program ends
    };
    for (const Case& c : {Case{"Screen Held", true, false}, Case{"Screen Back", true, true},
                          Case{"Idle Held", false, false}, Case{"Idle Back", false, true}}) {
        SCOPED_TRACE(c.name);
        notices.clear();
        fakes.idle->seconds.reset();
        auto v = add(c.name);
        ASSERT_TRUE(v->isUnlocked());
        vaultkit::VaultConfig::AutoLock rule = v->config().autoLock;
        rule.onScreenLock = c.screen;
        rule.onSleep = false;
        rule.idleMinutes = c.screen ? 0 : 5;
        std::optional<bool> saved;
        model->setAutoLock(v, rule, [&](bool ok) { saved = ok; });
        ASSERT_TRUE(spinUntil([&] { return saved.has_value(); }, 10));
        ASSERT_TRUE(*saved);

        const fs::path held = v->mountPoint() / "log.txt";
        vaulttest::writeFile(held, "a line\n");
        auto holder = std::make_unique<vaulttest::ChildProcess>(
            std::vector<std::string>{"/usr/bin/tail", "-f", held.string()});
        ASSERT_TRUE(spinUntil([&] { return !v->driver()->busyProcesses(v->mountPoint()).empty(); }, 10));

        if (c.screen) {
            fakes.screen->lockScreen();
        } else {
            fakes.idle->seconds = 3600.0;
            model->autoLocking().checkIdle();
        }
        ASSERT_TRUE(spinUntil([&] { return model->autoLocking().retryingAutoLock(v); }, 30));
        EXPECT_TRUE(v->isUnlocked());
        ASSERT_TRUE(model->message());
        EXPECT_TRUE(model->message()->isError);
        EXPECT_EQ(model->message()->text,
                  kx("err.autoLockRetrying", c.name,
                     describe(std::make_exception_ptr(VaultError::busy(v->driver()->busyProcesses(v->mountPoint()))))));
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].second, model->message()->text);

        if (c.reasonEnds) {
            if (c.screen)
                fakes.screen->unlockScreen();
            else
                fakes.idle->seconds = 2.0;
            ASSERT_TRUE(spinUntil([&] { return !model->autoLocking().retryingAutoLock(v); }, 30));
            holder.reset();
            // no more tries: the vault stays as the user left it
            model->autoLocking().checkIdle();
            spinFor(300);
            EXPECT_TRUE(v->isUnlocked());
            EXPECT_EQ(notices.size(), 1u);
            std::optional<bool> locked;
            model->lock(v, false, [&](bool ok) { locked = ok; });
            ASSERT_TRUE(spinUntil([&] { return locked.has_value(); }, 30));
            continue;
        }
        // the program ends while the reason holds: the next try locks, and
        // the window and a notice say so
        holder.reset();
        ASSERT_TRUE(spinUntil([&] { return !v->isUnlocked(); }, 30));
        ASSERT_TRUE(spinUntil([&] { return !model->autoLocking().retryingAutoLock(v); }, 10));
        ASSERT_TRUE(model->message());
        EXPECT_FALSE(model->message()->isError);
        EXPECT_EQ(model->message()->text, kx("ok.autoLockedLater", c.name));
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[1].second, kx("ok.autoLockedLater", c.name));
        if (c.screen) fakes.screen->unlockScreen();
    }
}

} // namespace
