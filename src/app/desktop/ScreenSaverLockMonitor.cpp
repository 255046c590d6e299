#include "app/desktop/ScreenSaverLockMonitor.h"

ScreenSaverLockMonitor::ScreenSaverLockMonitor(QDBusConnection bus, Service service, QObject* parent)
    : ScreenLockSource(parent)
    , bus_(std::move(bus))
    , service_(std::move(service)) {
    // The service need not run yet: the match rule names it and takes effect
    // whenever it appears.
    if (bus_.isConnected())
        listening_ = bus_.connect(service_.name, QString(), service_.interface, "ActiveChanged", this,
                                  SLOT(onActiveChanged(bool)));
}

void ScreenSaverLockMonitor::onActiveChanged(bool active) {
    if (active)
        emit screenLocked();
    else
        emit screenUnlocked();
}
