#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QLocalServer;

// One running application per user and support folder. The first start
// listens on a local socket in the user's runtime folder; a later start
// sends its request there ("raise": bring the window to the front,
// "lock-all": lock every vault) and ends.
//
// The socket file is private to the user (the runtime folder is, and the
// server accepts only its own user's connections).
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr int timeoutMs = 3'000;

    enum class Request { raise, lockAll };

    // The socket for this support folder: $XDG_RUNTIME_DIR (else the
    // temporary folder) / "hushcoffer-<uid>-<hash of the folder>.sock".
    static QString socketPath(const QString& supportDir);

    explicit SingleInstance(QString supportDir, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Sends the request to a running instance. Returns true when one took
    // it (it answered "ok").
    bool sendToRunning(Request request);
    // Starts listening (a stale socket file of an ended instance is removed
    // first). Returns false when that fails: another instance listens.
    bool listen();
    bool isListening() const;

    static QByteArray wireText(Request request);
    static std::optional<Request> parse(const QByteArray& line);

signals:
    void requested(SingleInstance::Request request);

private:
    QString path_;
    QLocalServer* server_ = nullptr;
};
