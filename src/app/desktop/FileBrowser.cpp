#include "app/desktop/FileBrowser.h"

#include "kxcore/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {

const QString fileManagerService = QStringLiteral("org.freedesktop.FileManager1");
const QString fileManagerPath = QStringLiteral("/org/freedesktop/FileManager1");

// The default handler for the folder: xdg-open, whose exit status tells
// whether some program took it (it ends once the program is started), else
// Qt's desktop services (a portal, a URL handler), which can only say
// whether the request was passed on.
void openWithDefaultHandler(const QUrl& folder, QObject* context, std::function<void(bool)> done) {
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty()) {
        const bool ok = QDesktopServices::openUrl(folder);
        if (!ok) kxcore::Log::shared().warn("cannot open " + folder.toLocalFile() + ": no handler for folders");
        done(ok);
        return;
    }
    auto* process = new QProcess(context);
    process->setProgram(xdgOpen);
    process->setArguments({folder.toString(QUrl::FullyEncoded)});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(process, &QProcess::finished, context,
                     [process, folder, done](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         const bool ok = status == QProcess::NormalExit && code == 0;
                         if (!ok)
                             kxcore::Log::shared().warn("cannot open " + folder.toLocalFile().toStdString() +
                                                        ": xdg-open ended with " + std::to_string(code));
                         done(ok);
                     });
    QObject::connect(process, &QProcess::errorOccurred, context, [process, folder, done](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart) return;
        process->deleteLater();
        kxcore::Log::shared().warn("cannot open " + folder.toLocalFile() + ": xdg-open did not start");
        done(false);
    });
    process->start();
}

} // namespace

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
    QDBusMessage call = QDBusMessage::createMethodCall(fileManagerService, fileManagerPath, fileManagerService,
                                                       QStringLiteral("ShowItems"));
    call << QStringList{item.toString(QUrl::FullyEncoded)} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5'000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, openFolder] {
        if (watcher->isError()) openFolder();
        watcher->deleteLater();
    });
}

void FileBrowser::openFolder(const QString& path, QObject* context, std::function<void(bool)> done) {
    const QUrl folder = QUrl::fromLocalFile(path);
    QPointer<QObject> guard(context);
    auto finish = [guard, done = std::move(done)](bool ok) {
        if (guard && done) done(ok);
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openWithDefaultHandler(folder, context, finish);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(fileManagerService, fileManagerPath, fileManagerService,
                                                       QStringLiteral("ShowFolders"));
    call << QStringList{folder.toString(QUrl::FullyEncoded)} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5'000), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, folder, guard, finish] {
        watcher->deleteLater();
        if (!watcher->isError()) {
            finish(true);
            return;
        }
        kxcore::Log::shared().info("file manager not reachable over D-Bus (" +
                                   watcher->error().message().toStdString() + "), opening the folder instead");
        if (guard) openWithDefaultHandler(folder, guard, finish);
    });
}
