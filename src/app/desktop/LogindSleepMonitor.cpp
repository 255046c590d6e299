#include "app/desktop/LogindSleepMonitor.h"

#include "kxcore/Log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <algorithm>

LogindSleepMonitor::LogindSleepMonitor(QDBusConnection bus, QObject* parent)
    : SleepSource(parent)
    , bus_(std::move(bus)) {
    if (bus_.isConnected())
        listening_ =
            bus_.connect(service, path, interface, "PrepareForSleep", this, SLOT(onPrepareForSleep(bool)));
    if (!listening_) {
        kxcore::Log::shared().warn(
            "logind is not reachable: vaults cannot be locked before the computer sleeps");
        reachable_ = false;
        return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
    get << QString::fromLatin1(interface) << QStringLiteral("InhibitDelayMaxUSec");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, 10'000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusVariant> reply = *watcher;
        if (reply.isError()) {
            // An error from logind itself (an older one without the
            // property) still means it is there.
            const QDBusError::ErrorType e = reply.error().type();
            if (e != QDBusError::ServiceUnknown && e != QDBusError::NoReply && e != QDBusError::Disconnected &&
                e != QDBusError::TimedOut && e != QDBusError::NoServer && e != QDBusError::NoNetwork)
                return;
            // nobody answers for logind: no sleep will be announced
            kxcore::Log::shared().warn("logind does not answer (" + reply.error().message().toStdString() +
                                       "): vaults cannot be locked before the computer sleeps");
            reachable_ = false;
            emit reachableChanged();
            return;
        }
        bool ok = false;
        const qulonglong usec = reply.value().variant().toULongLong(&ok);
        // Half a second before logind stops waiting, at least one second.
        if (ok && usec > 0) passTimeLimitMs_ = static_cast<int>(std::clamp<qulonglong>(usec / 1000, 1'500, 600'000)) - 500;
    });
}

LogindSleepMonitor::~LogindSleepMonitor() {
    release();
}

void LogindSleepMonitor::setDelayWanted(bool wanted) {
    wanted_ = wanted;
    if (!wanted_)
        release();
    else if (!sleeping_)
        take();
}

void LogindSleepMonitor::sleepPassDone() {
    release();
}

void LogindSleepMonitor::onPrepareForSleep(bool start) {
    if (start) {
        sleeping_ = true;
        emit aboutToSleep();
        return;
    }
    // Resumed: a new delay for the next sleep.
    sleeping_ = false;
    if (wanted_) take();
}

void LogindSleepMonitor::take() {
    if (fd_ || requesting_ || !bus_.isConnected()) return;
    requesting_ = true;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, "Inhibit");
    call << QStringLiteral("sleep") << QStringLiteral("Hushcoffer")
         << QStringLiteral("Locking encrypted vaults before sleep") << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 10'000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        requesting_ = false;
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        watcher->deleteLater();
        if (reply.isError() || !reply.value().isValid()) {
            if (!refusalLogged_)
                kxcore::Log::shared().warn("logind gives no sleep delay (" + reply.error().message() +
                                           "): vaults are locked when sleep begins, without waiting");
            refusalLogged_ = true;
            return;
        }
        refusalLogged_ = false;
        // Kept only while still wanted and not in the middle of going to sleep.
        if (wanted_ && !sleeping_) fd_ = std::make_unique<QDBusUnixFileDescriptor>(reply.value());
    });
}

void LogindSleepMonitor::release() {
    fd_.reset();
}
