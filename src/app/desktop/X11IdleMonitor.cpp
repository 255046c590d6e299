#include "app/desktop/X11IdleMonitor.h"

#include <QByteArray>

#ifdef HC_HAVE_XSS
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#endif

struct X11IdleMonitor::Display {
#ifdef HC_HAVE_XSS
    ::Display* handle = nullptr;
    bool hasExtension = false;
    ~Display() {
        if (handle) XCloseDisplay(handle);
    }
#endif
};

bool X11IdleMonitor::compiledIn() {
#ifdef HC_HAVE_XSS
    return true;
#else
    return false;
#endif
}

X11IdleMonitor::X11IdleMonitor()
    : display_(std::make_unique<Display>()) {
#ifdef HC_HAVE_XSS
    const bool wayland = !qgetenv("WAYLAND_DISPLAY").isEmpty() || qgetenv("XDG_SESSION_TYPE") == "wayland";
    if (wayland || qgetenv("DISPLAY").isEmpty()) return;
    display_->handle = XOpenDisplay(nullptr);
    if (!display_->handle) return;
    int event = 0, error = 0;
    display_->hasExtension = XScreenSaverQueryExtension(display_->handle, &event, &error);
#endif
}

X11IdleMonitor::~X11IdleMonitor() = default;

void X11IdleMonitor::idleSeconds(Answer answer) {
#ifdef HC_HAVE_XSS
    if (display_->handle && display_->hasExtension) {
        XScreenSaverInfo* info = XScreenSaverAllocInfo();
        if (info) {
            const Status ok =
                XScreenSaverQueryInfo(display_->handle, DefaultRootWindow(display_->handle), info);
            const double seconds = static_cast<double>(info->idle) / 1000.0;
            XFree(info);
            if (ok) {
                answer(seconds);
                return;
            }
        }
    }
#endif
    answer(std::nullopt);
}
