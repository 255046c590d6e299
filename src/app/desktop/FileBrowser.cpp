#include "app/desktop/FileBrowser.h"

#include "kxcore/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

void FileBrowser::reveal(const QString& path) {
    const QUrl item = QUrl::fromLocalFile(path);
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    auto openFolder = [folder] {
        if (!QDesktopServices::openUrl(folder))
            kxcore::Log::shared().warn("cannot open " + folder.toLocalFile());
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{item.toString(QUrl::FullyEncoded)} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5'000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, openFolder] {
        if (watcher->isError()) openFolder();
        watcher->deleteLater();
    });
}
