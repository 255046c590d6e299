#include "kxui/KXOpen.h"

#include "kxcore/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

namespace KXOpen {

namespace {

Handler& testHandler() {
    static Handler handler;
    return handler;
}

} // namespace

void setHandlerForTesting(Handler handler) {
    testHandler() = std::move(handler);
}

void url(const QUrl& address) {
    if (address.isEmpty() || !address.isValid()) return;
    if (testHandler()) {
        testHandler()(address, false);
        return;
    }
    if (!QDesktopServices::openUrl(address))
        kxcore::Log::shared().warn("cannot open " + address.toString(QUrl::RemoveQuery).toStdString());
}

void folder(const QString& path) {
    url(QUrl::fromLocalFile(path));
}

void reveal(const QString& file) {
    const QUrl fileURL = QUrl::fromLocalFile(file);
    if (testHandler()) {
        testHandler()(fileURL, true);
        return;
    }
    const QString dir = QFileInfo(file).absolutePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        folder(dir);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QString::fromUtf8(fileURL.toEncoded())} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, dir] {
        watcher->deleteLater();
        if (watcher->isError()) folder(dir); // no file manager offers the interface
    });
}

} // namespace KXOpen
