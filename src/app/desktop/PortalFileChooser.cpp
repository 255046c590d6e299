#include "app/desktop/PortalFileChooser.h"

#include "kxcore/Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRandomGenerator>

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

// The request object's path the portal will use for `token`: the caller's
// unique name without ':' and with '.' as '_'.
QString requestPathFor(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService();
    sender.remove(0, 1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender + QLatin1Char('/') + token;
}

} // namespace

PortalFileChooser::PortalFileChooser(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(bus)) {}

bool PortalFileChooser::isAvailable(QDBusConnection bus) {
    if (!bus.isConnected() || !bus.interface()) return false;
    return bus.interface()->isServiceRegistered(QString::fromLatin1(service)).value();
}

QVariantMap PortalFileChooser::options(const Request& request, const QString& token) {
    QVariantMap o;
    o.insert(QStringLiteral("handle_token"), token);
    o.insert(QStringLiteral("modal"), true);
    o.insert(QStringLiteral("multiple"), request.multiple);
    o.insert(QStringLiteral("directory"), request.directories);
    if (!request.acceptLabel.isEmpty()) o.insert(QStringLiteral("accept_label"), request.acceptLabel);
    return o;
}

void PortalFileChooser::open(const Request& request, Answer answer) {
    answer_ = std::move(answer);
    if (!bus_.isConnected()) {
        finish(false, {});
        return;
    }
    const QString token =
        QStringLiteral("hushcoffer%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    requestPath_ = requestPathFor(bus_, token);
    // Listen before asking: the answer may come before the call returns.
    bus_.connect(QString::fromLatin1(service), requestPath_, QString::fromLatin1(requestInterface),
                 QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("OpenFile"));
    call << request.parentWindow << request.title << options(request, token);
    // The dialog stays up as long as the user likes; the call itself returns
    // at once with the request's path.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 30'000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) {
            logger().warn("the desktop portal's file dialog failed: " + reply.error().message().toStdString());
            finish(false, {});
            return;
        }
        const QString actual = reply.value().path();
        if (actual != requestPath_ && !actual.isEmpty()) {
            // An older portal names the request itself: listen there instead.
            bus_.disconnect(QString::fromLatin1(service), requestPath_, QString::fromLatin1(requestInterface),
                            QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
            requestPath_ = actual;
            bus_.connect(QString::fromLatin1(service), requestPath_, QString::fromLatin1(requestInterface),
                         QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
        }
    });
}

void PortalFileChooser::onResponse(uint response, const QVariantMap& results) {
    QList<QUrl> chosen;
    // 0: chosen; 1: cancelled; 2: ended otherwise.
    if (response == 0) {
        for (const QString& uri : results.value(QStringLiteral("uris")).toStringList()) {
            const QUrl url(uri);
            if (url.isLocalFile()) chosen << url;
        }
    }
    finish(response != 2, std::move(chosen));
}

void PortalFileChooser::finish(bool answered, QList<QUrl> chosen) {
    if (!requestPath_.isEmpty())
        bus_.disconnect(QString::fromLatin1(service), requestPath_, QString::fromLatin1(requestInterface),
                        QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    requestPath_.clear();
    if (!answer_) return;
    Answer answer = std::move(answer_);
    answer_ = nullptr;
    answer(answered, std::move(chosen));
}
