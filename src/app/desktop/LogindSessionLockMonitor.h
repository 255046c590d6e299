#pragma once

#include "app/desktop/ScreenLockSource.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QString>

// logind's Lock() signal on this user's session (org.freedesktop.login1 on
// the system bus): sent when the session is asked to lock (loginctl
// lock-session, the desktop's lock on some systems). The session is the one
// named by $XDG_SESSION_ID (GetSession), else the one of this process
// (GetSessionByPID).
class LogindSessionLockMonitor final : public ScreenLockSource {
    Q_OBJECT
public:
    // `bus` is the system bus in the application, a private bus in tests;
    // `sessionId` overrides $XDG_SESSION_ID (empty: use it, or the PID).
    explicit LogindSessionLockMonitor(QDBusConnection bus, QString sessionId = {}, QObject* parent = nullptr);

    QString name() const override { return QStringLiteral("logind session"); }
    // The session object listened to, once known.
    QString sessionPath() const { return sessionPath_; }

signals:
    // The session was found and its signal is listened to (or not).
    void ready(bool listening);

private slots:
    void onLock();
    void onUnlock();

private:
    void listen(const QString& sessionPath);

    QDBusConnection bus_;
    QString sessionPath_;
};
