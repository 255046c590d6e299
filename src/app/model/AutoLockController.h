#pragma once

#include "app/desktop/EventSources.h"
#include "vaultkit/record/VaultConfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class AppModel;
class VaultWorkRunner;
namespace vaultkit {
class Vault;
}

// Locks vaults on their own: on sleep (holding the sleep delay while a vault
// that locks on sleep is unlocked), on screen lock and after idle minutes,
// each as the vault's record asks; a lock refused because the volume is in
// use is tried again while its reason holds. The quit pass is AppDelegate's.
class AutoLockController : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    using Predicate = std::function<bool(const vaultkit::VaultConfig::AutoLock&)>;

    static constexpr int idleCheckIntervalMs = 30'000;
    AutoLockController(AppModel& model, VaultWorkRunner& work, EventSources sources);

    // Whether a vault with this record qualifies after `idleSeconds` without
    // input: idleMinutes of at least 1 and idleSeconds >= idleMinutes x 60.
    // Values whose product does not fit 64 bits mean never.
    static bool idleQualifies(const vaultkit::VaultConfig::AutoLock& autoLock, double idleSeconds);
    // The 30-second check: asks the idle sources and locks the vaults whose
    // limit has passed.
    void checkIdle();
    // Whether a source of the session's idle time answers on this desktop,
    // as learnt by the last idle check (the pane says so beside its idle
    // choice when none does); the model's changed() when it changes.
    // probeIdleTime() asks the sources once while it is unknown.
    enum class IdleTime { unknown, available, unavailable };
    IdleTime idleTimeKnown() const { return idleTime_; }
    void probeIdleTime();
    // What asked for an automatic lock. A screen-lock or idle lock that
    // fails because the volume is in use (a program holds a file in it) is
    // tried again while its reason holds (below); the others are tried once.
    enum class Trigger { once, screenLock, idle };
    // One automatic pass: every unlocked vault whose record satisfies the
    // predicate is locked (never forced); a failure is one
    // "err.autoLockFailed" banner ("err.autoLockRetrying" when it will be
    // tried again). `done` runs after the pass's tick.
    void autoLock(const Predicate& predicate, std::function<void()> done = {},
                  Trigger trigger = Trigger::once);
    // The retry of a busy automatic lock: every interval, while the screen
    // is still locked (no source said it was unlocked) or the session is
    // still idle past the vault's limit, the lock is tried again, never
    // forced, until it works (then a banner and a notice say so), the
    // vault is locked otherwise, the reason ends, or another error comes.
    static constexpr int autoLockRetryIntervalMs = 15'000;
    void setAutoLockRetryInterval(int milliseconds);
    bool retryingAutoLock(const VaultPtr& vault) const;
    // False when the sleep source cannot be reached (logind does not
    // answer): locking on sleep cannot work here, and the pane says so.
    bool sleepLockAvailable() const { return !sources_.sleep || sources_.sleep->reachable(); }
    // Whether a vault that locks on sleep is unlocked (the sleep delay is
    // held while this is true).
    bool wantsSleepDelay() const;
    // Takes or lets go of the sleep delay as wantsSleepDelay() says (not
    // while a sleep pass runs).
    void refreshSleepDelay();

private:
    struct AutoLockRetry {
        VaultPtr vault;
        Trigger trigger;
    };
    void installSources();
    void retryAutoLocks();
    void retryAutoLock(const AutoLockRetry& retry, std::function<void()> next);
    void runIdlePass(double idleSeconds);
    void startSleepPass();
    void askIdle(std::size_t from, std::function<void(std::optional<double>)> answer);
    void setIdleTime(IdleTime known);

    AppModel& model_;
    VaultWorkRunner& work_;
    EventSources sources_;
    QTimer idleTimer_;
    std::map<vaultkit::Uuid, AutoLockRetry> autoLockRetries_;
    QTimer autoLockRetryTimer_;
    bool autoLockRetrying_ = false; // a round of retries is under way
    bool screenLocked_ = false;     // since the last lock, no source said unlocked
    QElapsedTimer screenLockedFor_; // since the last lock
    std::optional<std::size_t> idleSourceInUse_;
    bool idleOffLogged_ = false;
    IdleTime idleTime_ = IdleTime::unknown;
    bool idleProbing_ = false;
    bool sleepPassRunning_ = false;
    quint64 sleepPassSerial_ = 0; // the pass whose end releases the sleep delay
    QTimer sleepPassLimit_;
    bool screenPassRunning_ = false;
    bool idleCheckRunning_ = false;
};
