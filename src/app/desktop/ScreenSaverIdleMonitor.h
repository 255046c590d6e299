#pragma once

#include "app/desktop/IdleSource.h"

#include <QDBusConnection>

// org.freedesktop.ScreenSaver's GetSessionIdleTime() -> u. The unit depends
// on who answers: KDE's screen locker (which also owns the name
// org.kde.screensaver) answers in milliseconds despite the name; LXQt's and
// the phone shells' wrappers answer in seconds; GNOME's proxy answers with an
// error (NotSupported), which counts as "cannot tell". So the answer is read
// as milliseconds exactly when the same bus connection owns
// org.kde.screensaver, else as seconds.
class ScreenSaverIdleMonitor final : public IdleSource {
public:
    static constexpr const char* service = "org.freedesktop.ScreenSaver";
    static constexpr const char* kdeService = "org.kde.screensaver";

    explicit ScreenSaverIdleMonitor(QDBusConnection bus);
    QString name() const override { return QStringLiteral("org.freedesktop.ScreenSaver"); }
    void idleSeconds(Answer answer) override;

    // Whether the current owner of the service answers in milliseconds.
    bool answersInMilliseconds() const;

private:
    QDBusConnection bus_;
};
