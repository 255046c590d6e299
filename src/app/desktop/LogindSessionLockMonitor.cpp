#include "app/desktop/LogindSessionLockMonitor.h"

#include "kxcore/Log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <unistd.h>

namespace {
constexpr const char* service = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
} // namespace

LogindSessionLockMonitor::LogindSessionLockMonitor(QDBusConnection bus, QString sessionId, QObject* parent)
    : ScreenLockSource(parent)
    , bus_(std::move(bus)) {
    if (!bus_.isConnected()) {
        QMetaObject::invokeMethod(
            this, [this] { emit ready(false); }, Qt::QueuedConnection);
        return;
    }
    if (sessionId.isEmpty()) sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    QDBusMessage call;
    if (!sessionId.isEmpty()) {
        call = QDBusMessage::createMethodCall(service, managerPath, managerInterface, "GetSession");
        call << sessionId;
    } else {
        call = QDBusMessage::createMethodCall(service, managerPath, managerInterface, "GetSessionByPID");
        call << static_cast<quint32>(::getpid());
    }
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 10'000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError()) {
            kxcore::Log::shared().info("no logind session to watch for locks (" + reply.error().message() +
                                       ")");
            emit ready(false);
            return;
        }
        listen(reply.value().path());
    });
}

void LogindSessionLockMonitor::listen(const QString& sessionPath) {
    const bool ok = bus_.connect(service, sessionPath, sessionInterface, "Lock", this, SLOT(onLock())) &&
                    bus_.connect(service, sessionPath, sessionInterface, "Unlock", this, SLOT(onUnlock()));
    if (ok) sessionPath_ = sessionPath;
    emit ready(ok);
}

void LogindSessionLockMonitor::onLock() {
    emit screenLocked();
}

void LogindSessionLockMonitor::onUnlock() {
    emit screenUnlocked();
}
