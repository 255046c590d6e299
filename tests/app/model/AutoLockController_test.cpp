// Automatic locking without mounts: the idle rule, every trigger skipping
// vaults that are locked, and a desktop without idle sources.
#include "app/model/AutoLockController.h"
#include "app/shell/AppDelegate.h"
#include "model/support/ModelFixture.h"
#include "model/support/ModelTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using namespace modeltest;
using vaultkit::VaultConfig;

namespace {

TEST(IdleRule, LimitsInMinutesAgainstSecondsOfInactivity) {
    struct Case {
        std::int64_t minutes;
        double idle;
        bool locks;
    };
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max() / 60;
    const std::vector<Case> cases{
        {0, 0, false},
        {0, 1e12, false}, // 0 is never
        {-5, 1e12, false},
        {5, 299, false},
        {5, 299.999, false},
        {5, 300, true},
        {5, 301, true},
        {1, 60, true},
        {120, 7199, false},
        {huge, 1e30, true},                                       // the last value that fits
        {huge + 1, 1e30, false},                                  // overflowing product: never
        {std::numeric_limits<std::int64_t>::max(), 1e300, false}, // never
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.minutes) + " min, " + std::to_string(c.idle) + " s");
        VaultConfig::AutoLock a;
        a.idleMinutes = c.minutes;
        EXPECT_EQ(AutoLockController::idleQualifies(a, c.idle), c.locks);
    }
}

TEST_F(ModelTest, LockedVaultsAreSkippedByEveryTrigger) {
    VaultConfig::AutoLock everything{true, true, 1};
    writeRegistry({makeVault("A", everything), makeVault("B", everything)});
    AppModel& m = start();
    LogLines log;
    fakes.idle->seconds = 1e9;
    int ticks = 0;
    QObject::connect(&m, &AppModel::changed, [&] { ++ticks; });

    fakes.sleep->sleep();
    EXPECT_TRUE(spinUntil([&] { return fakes.sleep->passesDone == 1; }));
    fakes.screen->lockScreen();
    m.autoLocking().checkIdle();
    spinFor(200);
    EXPECT_EQ(fakes.idle->asked, 0); // nothing unlocked with a limit: not even asked
    EXPECT_TRUE(log.matching("auto-locked").empty());
    EXPECT_FALSE(m.message());
    EXPECT_FALSE(fakes.sleep->delayWanted);
    EXPECT_GE(ticks, 2); // each pass ends with a tick

    AppDelegate::model = &m;
    AppDelegate delegate;
    delegate.setSettingsFile(QString::fromStdString((root / "settings.ini").string()));
    bool replied = false;
    EXPECT_EQ(delegate.applicationShouldTerminate([&](bool) { replied = true; }),
              AppDelegate::TerminateReply::now);
    EXPECT_FALSE(replied);
    AppDelegate::model = nullptr;
    EXPECT_EQ(delegate.applicationShouldTerminate([&](bool) { replied = true; }),
              AppDelegate::TerminateReply::now);
}

TEST_F(ModelTest, WithoutIdleSourcesIdleLockingIsOffAndLoggedOnce) {
    LogLines log;
    model = std::make_unique<AppModel>(QString::fromStdString(support.string()), EventSources{});
    model->autoLocking().checkIdle();
    model->autoLocking().checkIdle();
    EXPECT_EQ(log.matching("locking after idle minutes is off").size(), 1u);
}

} // namespace
