#pragma once

#include "app/desktop/Notifier.h"

#include <QDBusConnection>
#include <QMap>
#include <QString>

// Notices through the session's notification service
// (org.freedesktop.Notifications): the application's icon and name, a
// "default" action so that a click on the notice comes back as activated().
class DesktopNotifier final : public Notifier {
    Q_OBJECT
public:
    static constexpr const char* service = "org.freedesktop.Notifications";
    static constexpr const char* path = "/org/freedesktop/Notifications";
    static constexpr const char* interface = "org.freedesktop.Notifications";

    // `icon`: an icon name of the theme or an absolute file path;
    // `desktopEntry`: the desktop entry's name without ".desktop".
    DesktopNotifier(QDBusConnection bus, QString appName, QString icon, QString desktopEntry,
                    QObject* parent = nullptr);
    // The session bus, the application's name, icon and desktop entry.
    static DesktopNotifier* forSession(QObject* parent = nullptr);

    void show(const QString& title, const QString& body, const QString& tag) override;

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:
    QDBusConnection bus_;
    QString appName_;
    QString icon_;
    QString desktopEntry_;
    QMap<uint, QString> tags_; // notices still shown, by the service's id
    bool unavailableLogged_ = false;
};
