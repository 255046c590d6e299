#pragma once

#include "app/desktop/IdleSource.h"

#include <QString>

#include <memory>

// The session's idle time from the Wayland compositor, for desktops whose
// D-Bus services do not tell it (sway and the other wlroots desktops, KDE
// Plasma on Wayland). The compositor does not answer a question: it reports
// "idle" once no input has come for a timeout and "resumed" at the next
// input, through ext-idle-notify-v1 where it offers that, else through
// org_kde_kwin_idle (Debian 12's sway and KDE). This source registers one
// such timeout on its own connection to the compositor and answers from the
// last event: while idle, the timeout plus the time since the event; else
// 0 (less than the timeout, the nearest it can tell). A limit of N minutes
// therefore locks at the same time as with a source that is asked.
//
// Without a Wayland session, without either protocol or once the
// compositor has gone it cannot tell (none).
class WaylandIdleMonitor final : public IdleSource {
public:
    static constexpr int defaultTimeoutMs = 5'000;

    // `display`: the compositor's socket name, else $WAYLAND_DISPLAY.
    explicit WaylandIdleMonitor(const QString& display = {}, int timeoutMs = defaultTimeoutMs);
    ~WaylandIdleMonitor() override;
    WaylandIdleMonitor(const WaylandIdleMonitor&) = delete;
    WaylandIdleMonitor& operator=(const WaylandIdleMonitor&) = delete;

    QString name() const override;
    void idleSeconds(Answer answer) override;

    enum class Protocol { none, extIdleNotify, kdeIdle };
    // The protocol in use (none: no connection or neither protocol).
    Protocol protocol() const;
    // Whether the compositor said "idle" and no input has come since (after
    // reading the events that arrived).
    bool idleNow();

    struct Connection;

private:
    std::unique_ptr<Connection> c_;
};
