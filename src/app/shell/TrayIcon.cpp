#include "app/shell/TrayIcon.h"

#include "kxui/KXSymbol.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

// Whether a reply to the watcher's IsStatusNotifierHostRegistered says a
// StatusNotifierItem host (a panel's tray) is registered.
bool saysRegistered(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

} // namespace

TrayIcon::TrayIcon(AppModel* model, TrayMenuContent::Actions actions, QObject* parent)
    : QObject(parent)
    , model_(model)
    , actions_(std::move(actions))
    , menu_(std::make_unique<QMenu>()) {
    connect(menu_.get(), &QMenu::aboutToShow, this, &TrayIcon::rebuild);
    if (model_) connect(model_, &AppModel::changed, this, &TrayIcon::refresh);
    // On Wayland the only tray is a StatusNotifierItem host, and Qt decides
    // once, when the first icon is made, whether one is there: made before
    // the panel starts (the usual order at login), the icon would never
    // show. So it is made when a host registers. Elsewhere it is made and
    // shown at once, whatever the desktop has now: the X11 tray protocol
    // finds a tray that starts later by itself.
    // The question is asked without waiting for the answer: the watcher is
    // the panel's process, busy at login, and the window must not wait for
    // it.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        waitForNotifierHost();
        askNotifierHost();
    } else {
        makeIcon();
    }
}

void TrayIcon::askNotifierHost() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (tray_ || !bus.isConnected()) return;
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    // No watcher running is no tray: never start one for the question.
    get.setAutoStartService(false);
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(get, 2'000), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
        pending->deleteLater();
        if (saysRegistered(pending->reply())) makeIcon();
    });
}

void TrayIcon::makeIcon() {
    if (tray_) return;
    if (hostWatcher_) {
        hostWatcher_->deleteLater();
        hostWatcher_ = nullptr;
    }
    tray_ = new QSystemTrayIcon(this);
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(QApplication::applicationDisplayName());
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A click opens the window; the menu is the tray's to show (on the
        // context click), never a floating copy of it.
        if (reason == QSystemTrayIcon::Trigger && actions_.openMainWindow) actions_.openMainWindow();
    });
    symbol_.clear();
    refresh();
    tray_->show();
    emit iconMade();
}

void TrayIcon::waitForNotifierHost() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    hostWatcher_ =
        new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(hostWatcher_, &QDBusServiceWatcher::serviceRegistered, this, &TrayIcon::askNotifierHost);
    bus.connect(watcherService, watcherPath, watcherService, QStringLiteral("StatusNotifierHostRegistered"),
                this, SLOT(notifierHostAppeared()));
}

void TrayIcon::notifierHostAppeared() {
    askNotifierHost();
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool TrayIcon::shown() const {
    return tray_ && QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::refresh() {
    if (!model_) return;
    if (!tray_) {
        if (!menu_->isVisible()) rebuild();
        return;
    }
    const QString symbol = TrayMenuContent::symbol(model_);
    if (symbol != symbol_) {
        symbol_ = symbol;
        tray_->setIcon(KXSymbol::icon(symbol_));
    }
    if (!menu_->isVisible()) rebuild();
}

void TrayIcon::rebuild() {
    if (model_) TrayMenuContent::populate(menu_.get(), model_, actions_);
}
