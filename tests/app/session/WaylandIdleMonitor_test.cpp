// The idle source over the Wayland idle protocols, against a real
// compositor: a headless sway 1.7, which offers org_kde_kwin_idle (as
// Debian 12's sway and KDE do). Its "idle" and "resumed" events become the
// answers the model asks for every 30 seconds; activity is made by a second
// client asking the compositor to count as input (simulate_user_activity).
#include "app/desktop/WaylandIdleMonitor.h"
#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "session/support/HeadlessSway.h"
#include "support/Spin.h"

#include "kde-idle-client-protocol.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <wayland-client.h>

namespace {

using uitest::spinUntil;

std::optional<double> ask(IdleSource& source) {
    std::optional<double> out;
    bool answered = false;
    source.idleSeconds([&](std::optional<double> seconds) {
        out = seconds;
        answered = true;
    });
    EXPECT_TRUE(answered) << "the Wayland source answers at once";
    return out;
}

// A second client of the compositor that counts as input on its seat.
class ActivityMaker {
public:
    explicit ActivityMaker(const QString& display) {
        display_ = wl_display_connect(display.toLocal8Bit().constData());
        if (!display_) return;
        registry_ = wl_display_get_registry(display_);
        static const wl_registry_listener listener{
            [](void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t) {
                auto* self = static_cast<ActivityMaker*>(data);
                if (!self->seat_ && std::strcmp(interface, wl_seat_interface.name) == 0)
                    self->seat_ =
                        static_cast<wl_seat*>(wl_registry_bind(registry, id, &wl_seat_interface, 1));
                if (!self->idle_ && std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0)
                    self->idle_ = static_cast<org_kde_kwin_idle*>(
                        wl_registry_bind(registry, id, &org_kde_kwin_idle_interface, 1));
            },
            [](void*, wl_registry*, uint32_t) {}};
        wl_registry_add_listener(registry_, &listener, this);
        wl_display_roundtrip(display_);
        if (seat_ && idle_) timeout_ = org_kde_kwin_idle_get_idle_timeout(idle_, seat_, 60'000);
        wl_display_roundtrip(display_);
    }
    ~ActivityMaker() {
        if (timeout_) org_kde_kwin_idle_timeout_release(timeout_);
        if (idle_) org_kde_kwin_idle_destroy(idle_);
        if (seat_) wl_seat_destroy(seat_);
        if (registry_) wl_registry_destroy(registry_);
        if (display_) wl_display_disconnect(display_);
    }
    bool ready() const { return timeout_ != nullptr; }
    void input() {
        org_kde_kwin_idle_timeout_simulate_user_activity(timeout_);
        wl_display_roundtrip(display_);
    }

private:
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    org_kde_kwin_idle* idle_ = nullptr;
    org_kde_kwin_idle_timeout* timeout_ = nullptr;
};

class WaylandIdle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sway.start()) << sway.why().toStdString();
        // clients find the compositor's socket in its runtime folder
        qputenv("XDG_RUNTIME_DIR", sway.runtimeDir().toLocal8Bit());
    }
    sessiontest::HeadlessSway sway;
};

} // namespace

TEST_F(WaylandIdle, TheAnswerFollowsTheCompositorsIdleAndResumedEvents) {
    WaylandIdleMonitor monitor(sway.display(), 400);
    ASSERT_EQ(monitor.protocol(), WaylandIdleMonitor::Protocol::kdeIdle);
    EXPECT_EQ(monitor.name(), QStringLiteral("Wayland org_kde_kwin_idle"));
    ActivityMaker activity(sway.display());
    ASSERT_TRUE(activity.ready());

    // (sway 1.7 counts a client's simulated activity on that client's own
    // timeout only, so the "resumed" event cannot be made from here: one round)
    for (int round = 0; round < 1; ++round) {
        activity.input();
        // input: active again (less than the timeout, said as 0)
        ASSERT_TRUE(spinUntil([&] { return !monitor.idleNow(); }, 10)) << "round " << round;
        EXPECT_EQ(ask(monitor), std::optional<double>(0.0));
        // no input for the timeout: idle, counted from the last input
        ASSERT_TRUE(spinUntil([&] { return monitor.idleNow(); }, 10)) << "round " << round;
        const std::optional<double> first = ask(monitor);
        ASSERT_TRUE(first.has_value());
        EXPECT_GE(*first, 0.4);
        QTest::qWait(300);
        const std::optional<double> later = ask(monitor);
        ASSERT_TRUE(later.has_value());
        EXPECT_GE(*later, *first + 0.29) << "the idle time grows while no input comes";
    }
}

TEST_F(WaylandIdle, WithoutACompositorOrOnceItHasGoneItCannotTell) {
    // no such socket
    WaylandIdleMonitor nowhere(QStringLiteral("hc-no-such-wayland-socket"), 400);
    EXPECT_EQ(nowhere.protocol(), WaylandIdleMonitor::Protocol::none);
    EXPECT_EQ(ask(nowhere), std::nullopt);
    // no Wayland session at all: not even "wayland-0" is tried
    const QByteArray saved = qgetenv("WAYLAND_DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    qputenv("XDG_RUNTIME_DIR", sway.runtimeDir().toLocal8Bit());
    WaylandIdleMonitor none;
    EXPECT_EQ(none.protocol(), WaylandIdleMonitor::Protocol::none);
    EXPECT_EQ(ask(none), std::nullopt);
    if (!saved.isEmpty()) qputenv("WAYLAND_DISPLAY", saved);

    // the compositor ends: the source stops answering rather than report
    // a stale state
    WaylandIdleMonitor monitor(sway.display(), 400);
    ASSERT_EQ(monitor.protocol(), WaylandIdleMonitor::Protocol::kdeIdle);
    ASSERT_TRUE(ask(monitor).has_value());
    sway.stop();
    EXPECT_TRUE(spinUntil([&] { return !ask(monitor).has_value(); }, 10));
    EXPECT_EQ(monitor.protocol(), WaylandIdleMonitor::Protocol::none);
}

TEST_F(WaylandIdle, TheModelFindsItsIdleTimeThroughTheCompositor) {
    QTemporaryDir support;
    EventSources sources;
    sources.idle.push_back(std::make_unique<WaylandIdleMonitor>(sway.display(), 400));
    AppModel model(support.path(), std::move(sources));
    AutoLockController& autoLock = model.autoLocking();
    autoLock.probeIdleTime();
    ASSERT_TRUE(spinUntil([&] { return autoLock.idleTimeKnown() != AutoLockController::IdleTime::unknown; }));
    EXPECT_EQ(autoLock.idleTimeKnown(), AutoLockController::IdleTime::available);
}
