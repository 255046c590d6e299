#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl-C, a closed terminal)
// turned into a Qt signal on the GUI thread: the handler only writes the
// signal number into a pipe (async-signal-safe); a socket notifier reads it
// there. One instance per process.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    // Restores the default actions.
    ~TerminationSignals() override;
    bool isInstalled() const { return installed_; }

signals:
    void terminationRequested(int signalNumber);

private:
    void readPipe();
    QSocketNotifier* notifier_ = nullptr;
    bool installed_ = false;
};
