#include "app/desktop/ScreenSaverIdleMonitor.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

ScreenSaverIdleMonitor::ScreenSaverIdleMonitor(QDBusConnection bus)
    : bus_(std::move(bus)) {}

namespace {
bool kdeOwnsService(const QDBusConnection& bus) {
    QDBusConnectionInterface* daemon = bus.interface();
    if (!daemon) return false;
    const QDBusReply<QString> owner = daemon->serviceOwner(ScreenSaverIdleMonitor::service);
    const QDBusReply<QString> kdeOwner = daemon->serviceOwner(ScreenSaverIdleMonitor::kdeService);
    return owner.isValid() && kdeOwner.isValid() && owner.value() == kdeOwner.value();
}
} // namespace

bool ScreenSaverIdleMonitor::answersInMilliseconds() const {
    return kdeOwnsService(bus_);
}

void ScreenSaverIdleMonitor::idleSeconds(Answer answer) {
    if (!bus_.isConnected()) {
        answer(std::nullopt);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/org/freedesktop/ScreenSaver", service,
                                                       "GetSessionIdleTime");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5'000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [bus = bus_, watcher, answer] {
        QDBusPendingReply<quint32> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError()) {
            answer(std::nullopt);
            return;
        }
        const double value = reply.value();
        answer(kdeOwnsService(bus) ? value / 1000.0 : value);
    });
}
