#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests of the network code: it
// records every request and answers each with what the test's handler
// returns. Runs on the test's thread; the test spins the event loop
// (waitForRequests) while the code under test talks to it.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

// The tests' Qt application object (the network code needs one with an event
// loop on this thread). Made on first use, kept to the end.
#ifndef HC_TEST_QT_APPLICATION
inline void ensureQtApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "kxcore_tests";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}
#endif

class TestHttpServer {
public:
    struct Request {
        QByteArray method;
        QByteArray path; // with the query
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QByteArray header(const QByteArray& name) const {
            for (const auto& [k, v] : headers)
                if (k.compare(name, Qt::CaseInsensitive) == 0) return v;
            return {};
        }
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };
    struct Reply {
        int status = 200;
        QByteArray body = "{}";
        bool hangUp = false; // close the connection without answering
    };
    using Handler = std::function<Reply(const Request&)>;

    TestHttpServer() {
        ensureQtApplication(); // before any socket: they need the thread's event dispatcher
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                accept(socket);
        });
    }

    void setHandler(Handler handler) { handler_ = std::move(handler); }
    // http://127.0.0.1:<port>
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
    QUrl url(const QString& path) const { return QUrl(base() + path); }
    const std::vector<Request>& requests() const { return requests_; }

    // Spins the event loop until `count` requests arrived or `ms` passed.
    bool waitForRequests(size_t count, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        while (requests_.size() < count && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return requests_.size() >= count;
    }
    // Spins the event loop for `ms` (to see that nothing more arrives).
    static void spin(int ms) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    // A port on 127.0.0.1 where nothing listens.
    static QString unreachableBase() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        quint16 port = probe.serverPort();
        probe.close();
        return QStringLiteral("http://127.0.0.1:%1").arg(port);
    }

private:
    void accept(QTcpSocket* socket) {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0) return;
            Request r;
            QList<QByteArray> lines = buffer->left(end).split('\n');
            QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            r.method = first.value(0);
            r.path = first.value(1);
            qsizetype length = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                QByteArray line = lines[i].trimmed();
                qsizetype colon = line.indexOf(':');
                if (colon < 0) continue;
                QByteArray name = line.left(colon).trimmed(), value = line.mid(colon + 1).trimmed();
                r.headers.append({name, value});
                if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) length = value.toLongLong();
            }
            if (buffer->size() < end + 4 + length) return; // body not complete yet
            r.body = buffer->mid(end + 4, length);
            buffer->clear();
            Reply reply = handler_ ? handler_(r) : Reply{};
            requests_.push_back(r);
            if (reply.hangUp) {
                socket->abort();
                return;
            }
            QByteArray out =
                "HTTP/1.1 " + QByteArray::number(reply.status) + " Status\r\n" +
                "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                "\r\nConnection: close\r\n\r\n" + reply.body;
            socket->write(out);
            socket->disconnectFromHost();
        });
    }

    QTcpServer server_;
    Handler handler_;
    std::vector<Request> requests_;
};
