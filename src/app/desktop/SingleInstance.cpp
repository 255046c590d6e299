#include "app/desktop/SingleInstance.h"

#include "kxcore/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Whether the peer of a connected local socket runs as this user.
bool sameUser(qintptr fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == ::getuid();
}

} // namespace

QString SingleInstance::socketPath(const QString& supportDir) {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::tempPath();
    const QByteArray hash =
        QCryptographicHash::hash(QDir::cleanPath(QDir(supportDir).absolutePath()).toUtf8(),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(12);
    return dir + QStringLiteral("/hushcoffer-%1-%2.sock").arg(::getuid()).arg(QString::fromLatin1(hash));
}

SingleInstance::SingleInstance(QString supportDir, QObject* parent)
    : QObject(parent)
    , path_(socketPath(supportDir)) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

QByteArray SingleInstance::wireText(Request request) {
    return request == Request::lockAll ? QByteArrayLiteral("lock-all") : QByteArrayLiteral("raise");
}

std::optional<SingleInstance::Request> SingleInstance::parse(const QByteArray& line) {
    const QByteArray t = line.trimmed();
    if (t == "raise") return Request::raise;
    if (t == "lock-all") return Request::lockAll;
    return std::nullopt;
}

bool SingleInstance::sendToRunning(Request request) {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(wireText(request) + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    return socket.readLine().trimmed() == "ok";
}

bool SingleInstance::listen() {
    if (!server_) {
        server_ = new QLocalServer(this);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* raw = server_->nextPendingConnection()) {
                QPointer<QLocalSocket> socket(raw);
                connect(raw, &QLocalSocket::disconnected, raw, &QObject::deleteLater);
                if (!sameUser(raw->socketDescriptor())) {
                    raw->abort();
                    continue;
                }
                connect(raw, &QLocalSocket::readyRead, this, [this, socket] {
                    if (!socket || !socket->canReadLine()) return;
                    const auto request = parse(socket->readLine(256));
                    socket->write(request ? "ok\n" : "unknown\n");
                    socket->flush();
                    socket->disconnectFromServer();
                    if (request) emit requested(*request);
                });
            }
        });
    }
    // another instance answers there: it is the one. (Qt puts a restricted
    // socket in place by renaming, which would take the path over.)
    {
        QLocalSocket probe;
        probe.connectToServer(path_);
        if (probe.waitForConnected(500)) return false;
    }
    // nobody answers: a file left by an instance that ended goes
    QLocalServer::removeServer(path_);
    if (server_->listen(path_)) return true;
    kxcore::Log::shared().warn("single instance: cannot listen on " + path_ + ": " + server_->errorString());
    return false;
}

bool SingleInstance::isListening() const {
    return server_ && server_->isListening();
}
