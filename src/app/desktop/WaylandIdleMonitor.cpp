#include "app/desktop/WaylandIdleMonitor.h"

#include "ext-idle-notify-v1-client-protocol.h"
#include "kde-idle-client-protocol.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <wayland-client.h>

#include <chrono>
#include <cstring>
#include <poll.h>

using Clock = std::chrono::steady_clock;

struct WaylandIdleMonitor::Connection {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    ext_idle_notifier_v1* notifier = nullptr;
    org_kde_kwin_idle* kdeIdle = nullptr;
    ext_idle_notification_v1* notification = nullptr;
    org_kde_kwin_idle_timeout* kdeTimeout = nullptr;
    std::unique_ptr<QSocketNotifier> readable;
    Protocol protocol = Protocol::none;
    int timeoutMs = defaultTimeoutMs;
    bool idle = false;
    Clock::time_point idleSince;
    bool broken = false;

    void idled() {
        idle = true;
        // the last input came one timeout before the event
        idleSince = Clock::now() - std::chrono::milliseconds(timeoutMs);
    }
    void resumed() { idle = false; }

    // Reads the events that have arrived and runs their listeners, without
    // waiting for more.
    void pump() {
        if (!display || broken) return;
        while (wl_display_prepare_read(display) != 0)
            if (wl_display_dispatch_pending(display) < 0) return fail();
        wl_display_flush(display);
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        if (poll(&fd, 1, 0) > 0) {
            if (wl_display_read_events(display) < 0) return fail();
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0 || wl_display_get_error(display) != 0) fail();
    }
    void fail() {
        broken = true;
        if (readable) readable->setEnabled(false);
    }

    ~Connection() {
        readable.reset();
        if (notification) ext_idle_notification_v1_destroy(notification);
        if (kdeTimeout) org_kde_kwin_idle_timeout_release(kdeTimeout);
        if (notifier) ext_idle_notifier_v1_destroy(notifier);
        if (kdeIdle) org_kde_kwin_idle_destroy(kdeIdle);
        if (seat) wl_seat_destroy(seat);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }
};

namespace {

using Connection = WaylandIdleMonitor::Connection;

void global(void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t) {
    auto* c = static_cast<Connection*>(data);
    // version 1 of each: all that is needed, and what every compositor has
    if (!c->seat && std::strcmp(interface, wl_seat_interface.name) == 0)
        c->seat = static_cast<wl_seat*>(wl_registry_bind(registry, id, &wl_seat_interface, 1));
    else if (!c->notifier && std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0)
        c->notifier = static_cast<ext_idle_notifier_v1*>(
            wl_registry_bind(registry, id, &ext_idle_notifier_v1_interface, 1));
    else if (!c->kdeIdle && std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0)
        c->kdeIdle =
            static_cast<org_kde_kwin_idle*>(wl_registry_bind(registry, id, &org_kde_kwin_idle_interface, 1));
}

void globalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registryListener{global, globalRemove};

const ext_idle_notification_v1_listener notificationListener{
    [](void* data, ext_idle_notification_v1*) { static_cast<Connection*>(data)->idled(); },
    [](void* data, ext_idle_notification_v1*) { static_cast<Connection*>(data)->resumed(); }};

const org_kde_kwin_idle_timeout_listener kdeTimeoutListener{
    [](void* data, org_kde_kwin_idle_timeout*) { static_cast<Connection*>(data)->idled(); },
    [](void* data, org_kde_kwin_idle_timeout*) { static_cast<Connection*>(data)->resumed(); }};

} // namespace

WaylandIdleMonitor::WaylandIdleMonitor(const QString& display, int timeoutMs)
    : c_(std::make_unique<Connection>()) {
    c_->timeoutMs = timeoutMs;
    // Without a name and without $WAYLAND_DISPLAY the library would try
    // "wayland-0": not this session's compositor.
    if (display.isEmpty() && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return;
    const QByteArray name = display.toLocal8Bit();
    c_->display = wl_display_connect(display.isEmpty() ? nullptr : name.constData());
    if (!c_->display) return;
    c_->registry = wl_display_get_registry(c_->display);
    wl_registry_add_listener(c_->registry, &registryListener, c_.get());
    if (wl_display_roundtrip(c_->display) < 0 || !c_->seat) {
        c_->broken = true;
        return;
    }
    const auto timeout = static_cast<uint32_t>(timeoutMs);
    if (c_->notifier) {
        c_->notification = ext_idle_notifier_v1_get_idle_notification(c_->notifier, timeout, c_->seat);
        ext_idle_notification_v1_add_listener(c_->notification, &notificationListener, c_.get());
        c_->protocol = Protocol::extIdleNotify;
    } else if (c_->kdeIdle) {
        c_->kdeTimeout = org_kde_kwin_idle_get_idle_timeout(c_->kdeIdle, c_->seat, timeout);
        org_kde_kwin_idle_timeout_add_listener(c_->kdeTimeout, &kdeTimeoutListener, c_.get());
        c_->protocol = Protocol::kdeIdle;
    } else {
        return;
    }
    wl_display_flush(c_->display);
    // events are read as they come on the GUI thread's loop, and again
    // before each answer
    if (QCoreApplication::instance()) {
        c_->readable =
            std::make_unique<QSocketNotifier>(wl_display_get_fd(c_->display), QSocketNotifier::Read);
        QObject::connect(c_->readable.get(), &QSocketNotifier::activated, c_->readable.get(),
                         [c = c_.get()] { c->pump(); });
    }
}

WaylandIdleMonitor::~WaylandIdleMonitor() = default;

QString WaylandIdleMonitor::name() const {
    switch (c_->protocol) {
    case Protocol::extIdleNotify:
        return QStringLiteral("Wayland ext-idle-notify-v1");
    case Protocol::kdeIdle:
        return QStringLiteral("Wayland org_kde_kwin_idle");
    case Protocol::none:
        break;
    }
    return QStringLiteral("Wayland idle protocols");
}

WaylandIdleMonitor::Protocol WaylandIdleMonitor::protocol() const {
    return c_->broken ? Protocol::none : c_->protocol;
}

bool WaylandIdleMonitor::idleNow() {
    c_->pump();
    return c_->idle;
}

void WaylandIdleMonitor::idleSeconds(Answer answer) {
    c_->pump();
    if (c_->broken || c_->protocol == Protocol::none) {
        answer(std::nullopt);
        return;
    }
    if (!c_->idle) {
        answer(0.0);
        return;
    }
    answer(std::chrono::duration<double>(Clock::now() - c_->idleSince).count());
}
