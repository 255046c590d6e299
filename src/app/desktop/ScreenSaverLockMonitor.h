#pragma once

#include "app/desktop/ScreenLockSource.h"

#include <QDBusConnection>
#include <QString>

// A screen saver service on the session bus that announces the lock with the
// signal ActiveChanged(true): org.freedesktop.ScreenSaver (KDE and others),
// org.gnome.ScreenSaver (GNOME), org.xfce.ScreenSaver (Xfce). The signal is
// taken from any object path of the service (KDE sends it on two paths; the
// model treats a second event during a pass as the same lock).
class ScreenSaverLockMonitor final : public ScreenLockSource {
    Q_OBJECT
public:
    struct Service {
        QString name;      // bus name and interface
        QString interface; // usually the same as name
    };
    static Service freedesktop() { return {"org.freedesktop.ScreenSaver", "org.freedesktop.ScreenSaver"}; }
    static Service gnome() { return {"org.gnome.ScreenSaver", "org.gnome.ScreenSaver"}; }
    static Service xfce() { return {"org.xfce.ScreenSaver", "org.xfce.ScreenSaver"}; }

    ScreenSaverLockMonitor(QDBusConnection bus, Service service, QObject* parent = nullptr);

    QString name() const override { return service_.name; }
    bool isListening() const { return listening_; }

private slots:
    void onActiveChanged(bool active);

private:
    QDBusConnection bus_;
    Service service_;
    bool listening_ = false;
};
