#pragma once

#include "app/model/AppModel.h"
#include "app/shell/BusyAlert.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class TerminationSignals;

// The application's answers to the desktop: closing the last window keeps
// the process (the tray menu stays), and quitting locks the unlocked vaults
// first unless the setting "hc.lockOnQuit" is false.
//
// A quit request is answered "now" (nothing to lock) or "later": the lock pass
// runs vault by vault, a volume in use asks the BusyAlert (force, keep,
// cancel), and the reply comes once at the end (true: quit) or at cancel
// (false: keep running).
//
// SIGTERM, SIGINT and SIGHUP run the same pass without asking anybody: a
// volume in use is left unlocked and logged, never forced; then the exit
// function runs.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    // The model of the process, set by the entry right after it is made.
    static QPointer<AppModel> model;

    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // The settings file read for "hc.lockOnQuit" (empty: the standard one).
    void setSettingsFile(const QString& file) { settingsFile_ = file; }
    // Not owned; without one a busy volume is kept unlocked, as after
    // "keep".
    void setBusyAlert(BusyAlert* alert) { alert_ = alert; }

    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }

    enum class TerminateReply { now, later };
    // `reply` is called exactly once when the answer is later (true: go on
    // and quit, false: the quit is cancelled); never when it is now.
    TerminateReply applicationShouldTerminate(std::function<void(bool quit)> reply);
    bool isQuitPending() const { return !pendingReplies_.empty(); }

    // Catches the termination signals; on one, runs lockForShutdown and then
    // `exit` with status 0 (default: QCoreApplication::exit).
    void installTerminationHandling(std::function<void(int status)> exit = {});
    // The pass without prompts; `done` runs when it is over.
    void lockForShutdown(std::function<void()> done);

private:
    bool lockOnQuit() const;
    void quitStep(std::shared_ptr<std::vector<AppModel::VaultPtr>> vaults, std::size_t index,
                  bool interactive, std::function<void(bool)> finished);
    void finishQuit(bool quit);

    QString settingsFile_;
    BusyAlert* alert_ = nullptr;
    std::vector<std::function<void(bool)>> pendingReplies_;
    TerminationSignals* signals_ = nullptr;
    std::function<void(int)> exit_;
    bool shuttingDown_ = false;
};
