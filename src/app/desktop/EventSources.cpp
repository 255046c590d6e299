#include "app/desktop/EventSources.h"

#include "app/desktop/LogindSessionLockMonitor.h"
#include "app/desktop/LogindSleepMonitor.h"
#include "app/desktop/MutterIdleMonitor.h"
#include "app/desktop/ScreenSaverIdleMonitor.h"
#include "app/desktop/ScreenSaverLockMonitor.h"
#include "app/desktop/WaylandIdleMonitor.h"
#include "app/desktop/X11IdleMonitor.h"

#include <QDBusConnection>

EventSources::EventSources() = default;
EventSources::EventSources(EventSources&&) noexcept = default;
EventSources& EventSources::operator=(EventSources&&) noexcept = default;
EventSources::~EventSources() = default;

EventSources EventSources::desktop() {
    EventSources s;
    const QDBusConnection system = QDBusConnection::systemBus();
    const QDBusConnection session = QDBusConnection::sessionBus();
    s.sleep = std::make_unique<LogindSleepMonitor>(system);
    s.screenLocks.push_back(
        std::make_unique<ScreenSaverLockMonitor>(session, ScreenSaverLockMonitor::freedesktop()));
    s.screenLocks.push_back(
        std::make_unique<ScreenSaverLockMonitor>(session, ScreenSaverLockMonitor::gnome()));
    s.screenLocks.push_back(
        std::make_unique<ScreenSaverLockMonitor>(session, ScreenSaverLockMonitor::xfce()));
    s.screenLocks.push_back(std::make_unique<LogindSessionLockMonitor>(system));
    s.idle.push_back(std::make_unique<MutterIdleMonitor>(session));
    s.idle.push_back(std::make_unique<ScreenSaverIdleMonitor>(session));
    // wlroots desktops and KDE on Wayland: the compositor's idle protocols
    s.idle.push_back(std::make_unique<WaylandIdleMonitor>());
    if (X11IdleMonitor::compiledIn()) s.idle.push_back(std::make_unique<X11IdleMonitor>());
    return s;
}
