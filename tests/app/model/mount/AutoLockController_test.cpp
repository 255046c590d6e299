// Automatic locking with real vaults (gocryptfs over FUSE, as an ordinary
// user): each trigger locks only the vaults whose record asks for it, a busy
// volume is never forced, a pass skips a vault locked meanwhile, and the
// sleep delay on a mock logind is held through the pass.
#include "app/desktop/LogindSleepMonitor.h"
#include "app/model/AutoLockController.h"
#include "model/support/ModelMountFixture.h"
#include "model/support/ModelTestSupport.h"

#include "kxui/kx.h"

#include <QDBusArgument>
#include <QDBusMessage>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace modeltest;

namespace {

TEST_F(ModelMountTest, SleepLocksOnlyTheVaultsThatLockOnSleep) {
    start();
    auto keeps = add("Keeps", VaultConfig::AutoLock{false, false, 0});
    auto locks = add("Locks"); // defaults: onSleep true
    LogLines log;
    EXPECT_TRUE(spinUntil([&] { return fakes.sleep->delayWanted; }, 5)); // refreshed by the tick
    fakes.sleep->sleep();
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 1; }, 60));
    EXPECT_TRUE(keeps->isUnlocked());
    EXPECT_FALSE(locks->isUnlocked());
    // the folder look follows on the vault's lane, after the pass
    EXPECT_TRUE(spinUntil([&] { return modeOf(locks->mountPoint()) == 0555; }, 10));
    EXPECT_FALSE(model->message());
    EXPECT_EQ(log.matching("auto-locked").size(), 1u);
    EXPECT_TRUE(model->working().empty()); // no busy text for automatic locks
    EXPECT_FALSE(fakes.sleep->delayWanted);
}

TEST_F(ModelMountTest, ABusyVolumeAtSleepStaysUnlockedWithOneBannerAndIsNeverForced) {
    start();
    auto busy = add("Busy");
    auto other = add("Other");
    driver->setBusy(busy->mountPoint().string(), std::vector<std::string>{});
    fakes.sleep->sleep();
    ASSERT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 1; }, 60));
    EXPECT_TRUE(busy->isUnlocked());
    EXPECT_FALSE(other->isUnlocked());
    ASSERT_TRUE(model->message());
    EXPECT_TRUE(model->message()->isError);
    EXPECT_EQ(model->message()->text, kx("err.autoLockFailed", "Busy", kx("err.busy", "?")));
    EXPECT_FALSE(model->busyPrompt());
    EXPECT_EQ(driver->forcedDetaches, 0);
    EXPECT_TRUE(fakes.sleep->delayWanted); // still something to lock before the next sleep
}

TEST_F(ModelMountTest, ScreenLockWithTheDefaultsLocksNothing) {
    start();
    auto a = add("A");
    auto b = add("B", VaultConfig::AutoLock{true, true, 0});
    const qint64 before = model->tick();
    fakes.screen->lockScreen();
    ASSERT_TRUE(spinUntil([&] { return !b->isUnlocked() && model->tick() > before; }, 60));
    EXPECT_TRUE(a->isUnlocked());
}

TEST_F(ModelMountTest, IdleLimitLocksAtItsSecondsNotBefore) {
    start();
    auto never = add("Never"); // idleMinutes 0
    auto five = add("Five", VaultConfig::AutoLock{true, false, 5});
    for (double idle : {0.0, 299.0, 299.9}) {
        fakes.idle->seconds = idle;
        const qint64 before = model->tick();
        model->autoLocking().checkIdle();
        spinFor(300);
        EXPECT_TRUE(five->isUnlocked()) << idle;
        EXPECT_EQ(model->tick(), before) << "no pass without a qualifying vault";
    }
    fakes.idle->seconds = 300;
    model->autoLocking().checkIdle();
    ASSERT_TRUE(spinUntil([&] { return !five->isUnlocked(); }, 60));
    fakes.idle->seconds = 1e12;
    model->autoLocking().checkIdle();
    spinFor(500);
    EXPECT_TRUE(never->isUnlocked());
    // nothing left with a limit: the idle time is not even asked
    const int asked = fakes.idle->asked;
    model->autoLocking().checkIdle();
    EXPECT_EQ(fakes.idle->asked, asked);
}

TEST_F(ModelMountTest, APassSkipsAVaultLockedMeanwhile) {
    start();
    auto v = add("Docs");
    LogLines log;
    // the user's lock runs (held in its detach) when the pass comes: the pass
    // waits for it and finds the vault locked
    std::atomic<bool> detaching{false}, release{false};
    driver->onDetach([&](const std::string&, bool) {
        detaching = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    model->lock(v, false);
    ASSERT_TRUE(spinUntil([&] { return detaching.load(); }, 30));
    bool passDone = false;
    model->autoLocking().autoLock([](const VaultConfig::AutoLock&) { return true; },
                                  [&] { passDone = true; });
    spinFor(100);
    EXPECT_FALSE(passDone);
    release = true;
    ASSERT_TRUE(spinUntil([&] { return passDone; }, 60));
    driver->onDetach({});
    EXPECT_FALSE(v->isUnlocked());
    EXPECT_TRUE(log.matching("auto-locked").empty());
    EXPECT_FALSE(model->message());
}

// ---- The sleep delay on a mock logind -------------------------------------------------

TEST_F(ModelMountTest, TheSleepInhibitorIsHeldThroughThePassAndReleasedAfter) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    QDBusConnection control = bus.connect("hc-control");
    DBusMock logind(bus.address(), true, {"--template", "logind"}, "org.freedesktop.login1", control);
    ASSERT_TRUE(logind.ok()) << logind.errorOutput().toStdString();
    auto count = [&] {
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

    EventSources sources;
    auto monitor = std::make_unique<LogindSleepMonitor>(bus.connect("hc-system"));
    LogindSleepMonitor* sleep = monitor.get();
    sources.sleep = std::move(monitor);
    model = std::make_unique<AppModel>(QString::fromStdString(support.string()), std::move(sources));
    EXPECT_EQ(count(), 0); // no vault: no delay
    auto v = add("Docs");
    ASSERT_TRUE(spinUntil([&] { return count() == 1; }, 10)); // the next refresh takes it

    // while the lock runs, the delay is still held (asked from the worker)
    QDBusConnection probe = bus.connect("hc-probe");
    std::atomic<int> heldDuringLock{-1};
    driver->onDetach([&](const std::string&, bool) {
        QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                        "org.freedesktop.login1.Manager", "ListInhibitors");
        const QDBusMessage r = probe.call(m);
        const QDBusArgument arg = r.arguments().value(0).value<QDBusArgument>();
        int n = 0;
        arg.beginArray();
        while (!arg.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            arg.beginStructure();
            arg >> what >> who >> why >> mode >> uid >> pid;
            arg.endStructure();
            ++n;
        }
        arg.endArray();
        heldDuringLock = n;
    });
    logind.emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                      {true});
    ASSERT_TRUE(spinUntil([&] { return !v->isUnlocked(); }, 60));
    EXPECT_EQ(heldDuringLock, 1);
    EXPECT_TRUE(spinUntil([&] { return count() == 0; }, 10)); // released when the pass ended
    EXPECT_FALSE(sleep->holdsInhibitor());
    driver->onDetach({});

    // resume with a vault unlocked again: a new delay
    logind.emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                      {false});
    ASSERT_TRUE(await([&](auto done) { model->unlock(v, qPassword, done); }));
    EXPECT_TRUE(spinUntil([&] { return count() == 1; }, 10));
    model.reset(); // the descriptor goes with the model
    EXPECT_TRUE(spinUntil([&] { return count() == 0; }, 10));
}

} // namespace
