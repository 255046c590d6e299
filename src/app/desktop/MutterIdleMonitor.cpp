#include "app/desktop/MutterIdleMonitor.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

MutterIdleMonitor::MutterIdleMonitor(QDBusConnection bus)
    : bus_(std::move(bus)) {}

void MutterIdleMonitor::idleSeconds(Answer answer) {
    if (!bus_.isConnected()) {
        answer(std::nullopt);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                                       "org.gnome.Mutter.IdleMonitor", "GetIdletime");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5'000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, answer] {
        QDBusPendingReply<quint64> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError()) {
            answer(std::nullopt);
            return;
        }
        answer(static_cast<double>(reply.value()) / 1000.0);
    });
}
