#include "app/desktop/DesktopNotifier.h"

#include "app/desktop/FolderLook.h"
#include "kxcore/Log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QVariantMap>

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

// The notice stays until the service's own default time has passed.
constexpr int serviceDefaultTimeout = -1;

} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QString appName, QString icon, QString desktopEntry,
                                 QObject* parent)
    : Notifier(parent)
    , bus_(std::move(bus))
    , appName_(std::move(appName))
    , icon_(std::move(icon))
    , desktopEntry_(std::move(desktopEntry)) {
    if (!bus_.isConnected()) return;
    bus_.connect(QString(), path, interface, QStringLiteral("ActionInvoked"), this,
                 SLOT(onActionInvoked(uint, QString)));
    bus_.connect(QString(), path, interface, QStringLiteral("NotificationClosed"), this,
                 SLOT(onClosed(uint, uint)));
}

DesktopNotifier* DesktopNotifier::forSession(QObject* parent) {
    QString entry = QString::fromLatin1(FolderLook::desktopFileName);
    entry.chop(static_cast<qsizetype>(QStringLiteral(".desktop").size()));
    // The desktop entry's icon name: installed with the package, and the
    // name the theme knows the application by.
    return new DesktopNotifier(QDBusConnection::sessionBus(), QGuiApplication::applicationDisplayName(), entry,
                               entry, parent);
}

void DesktopNotifier::show(const QString& title, const QString& body, const QString& tag) {
    if (!bus_.isConnected()) {
        if (!unavailableLogged_) logger().info("no session bus: desktop notices are off");
        unavailableLogged_ = true;
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    QVariantMap hints;
    if (!desktopEntry_.isEmpty()) hints.insert(QStringLiteral("desktop-entry"), desktopEntry_);
    // The "default" action is what a click on the notice's body invokes.
    call << appName_ << uint(0) << icon_ << title << body << QStringList{QStringLiteral("default"), title}
         << hints << serviceDefaultTimeout;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 10'000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, tag] {
        watcher->deleteLater();
        QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            if (!unavailableLogged_)
                logger().warn("desktop notice not shown: " + reply.error().message().toStdString());
            unavailableLogged_ = true;
            return;
        }
        unavailableLogged_ = false;
        tags_.insert(reply.value(), tag);
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action) {
    const auto it = tags_.constFind(id);
    if (it == tags_.constEnd()) return; // another application's notice
    if (action == QLatin1String("default")) emit activated(it.value());
}

void DesktopNotifier::onClosed(uint id, uint) {
    tags_.remove(id);
}
