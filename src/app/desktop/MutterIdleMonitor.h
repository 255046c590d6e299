#pragma once

#include "app/desktop/IdleSource.h"

#include <QDBusConnection>

// GNOME's idle time: org.gnome.Mutter.IdleMonitor at
// /org/gnome/Mutter/IdleMonitor/Core, GetIdletime() -> t, milliseconds since
// the last input in the session (X11 and Wayland alike).
class MutterIdleMonitor final : public IdleSource {
public:
    explicit MutterIdleMonitor(QDBusConnection bus);
    QString name() const override { return QStringLiteral("org.gnome.Mutter.IdleMonitor"); }
    void idleSeconds(Answer answer) override;

private:
    QDBusConnection bus_;
};
