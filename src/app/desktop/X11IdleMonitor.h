#pragma once

#include "app/desktop/IdleSource.h"

#include <memory>

// The X11 screen-saver extension (XScreenSaverQueryInfo: milliseconds since
// the last input on the X server). Only on an X11 session: under Wayland the
// X server (Xwayland) sees only the input of X clients, which would make the
// whole session look idle. Without libXss at build time, or without an X
// display, it cannot tell.
class X11IdleMonitor final : public IdleSource {
public:
    X11IdleMonitor();
    ~X11IdleMonitor() override;
    QString name() const override { return QStringLiteral("X11 screen saver extension"); }
    void idleSeconds(Answer answer) override;

    // Whether this build has the extension at all.
    static bool compiledIn();

private:
    struct Display;
    std::unique_ptr<Display> display_;
};
