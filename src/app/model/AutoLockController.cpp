#include "app/model/AutoLockController.h"

#include "app/model/AppModel.h"
#include "app/model/Notices.h"
#include "app/model/VaultWorkRunner.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"

#include <QPointer>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

using vaultkit::Vault;
using vaultkit::VaultConfig;
using vaultkit::VaultError;

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

// Whether a lock failed because the volume is in use (a program holds a
// file or a folder in it).
bool isInUse(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const VaultError& e) {
        return e.kind() == VaultError::Case::busy;
    } catch (...) {
    }
    return false;
}

QString errorText(const std::exception_ptr& error) {
    return QString::fromStdString(detailOf(error));
}

} // namespace

AutoLockController::AutoLockController(AppModel& model, VaultWorkRunner& work, EventSources sources)
    : model_(model)
    , work_(work)
    , sources_(std::move(sources)) {
    installSources();
}

bool AutoLockController::idleQualifies(const VaultConfig::AutoLock& autoLock, double idleSeconds) {
    const std::int64_t minutes = autoLock.idleMinutes;
    if (minutes < 1) return false;
    // A limit whose seconds do not fit 64 bits is beyond any idle time: never.
    if (minutes > std::numeric_limits<std::int64_t>::max() / 60) return false;
    return idleSeconds >= static_cast<double>(minutes * 60);
}

bool AutoLockController::wantsSleepDelay() const {
    for (const auto& v : model_.vaults())
        if (v->config().autoLock.onSleep && model_.isUnlocked(v)) return true;
    return false;
}

void AutoLockController::refreshSleepDelay() {
    if (sources_.sleep && !sleepPassRunning_) sources_.sleep->setDelayWanted(wantsSleepDelay());
}

void AutoLockController::installSources() {
    idleTimer_.setInterval(idleCheckIntervalMs);
    connect(&idleTimer_, &QTimer::timeout, this, &AutoLockController::checkIdle);
    idleTimer_.start();
    autoLockRetryTimer_.setInterval(autoLockRetryIntervalMs);
    connect(&autoLockRetryTimer_, &QTimer::timeout, this, &AutoLockController::retryAutoLocks);

    if (sources_.sleep) {
        connect(sources_.sleep.get(), &SleepSource::aboutToSleep, this, &AutoLockController::startSleepPass);
        connect(sources_.sleep.get(), &SleepSource::reachableChanged, this, [this] { model_.announce(); });
        sleepPassLimit_.setSingleShot(true);
        connect(&sleepPassLimit_, &QTimer::timeout, this, [this] {
            if (!sleepPassRunning_) return;
            // The system sleeps anyway once its delay is over: let it go now,
            // and let the next event have a pass of its own. The late pass
            // still reports its outcome.
            logger().warn("the lock pass before sleep did not end in time: the computer may sleep with "
                          "vaults unlocked");
            sleepPassRunning_ = false;
            sources_.sleep->sleepPassDone();
            refreshSleepDelay();
        });
        refreshSleepDelay();
    }
    for (const auto& source : sources_.screenLocks) {
        connect(source.get(), &ScreenLockSource::screenLocked, this, [this, name = source->name()] {
            if (!screenLocked_) screenLockedFor_.start();
            screenLocked_ = true;
            if (screenPassRunning_) return; // one lock seen by several sources
            screenPassRunning_ = true;
            logger().info("screen locked (" + name + ")");
            autoLock([](const VaultConfig::AutoLock& a) { return a.onScreenLock; },
                     [this] { screenPassRunning_ = false; }, Trigger::screenLock);
        });
        connect(source.get(), &ScreenLockSource::screenUnlocked, this, [this, name = source->name()] {
            if (screenLocked_) logger().info("screen unlocked (" + name + ")");
            screenLocked_ = false;
        });
    }
    if (sources_.idle.empty()) {
        logger().info("no source of the session's idle time: locking after idle minutes is off");
        idleOffLogged_ = true;
        idleTime_ = IdleTime::unavailable;
    }
}

void AutoLockController::probeIdleTime() {
    if (idleTime_ != IdleTime::unknown || idleProbing_ || sources_.idle.empty()) return;
    idleProbing_ = true;
    askIdle(0, [this](std::optional<double> seconds) {
        idleProbing_ = false;
        setIdleTime(seconds ? IdleTime::available : IdleTime::unavailable);
    });
}

void AutoLockController::setIdleTime(IdleTime known) {
    if (idleTime_ == known) return;
    idleTime_ = known;
    model_.announce();
}

void AutoLockController::startSleepPass() {
    if (sleepPassRunning_) return; // the running pass covers this event
    sleepPassRunning_ = true;
    const quint64 serial = ++sleepPassSerial_;
    logger().info("the computer is about to sleep: locking vaults that lock on sleep");
    sleepPassLimit_.start(sources_.sleep->passTimeLimitMs());
    autoLock([](const VaultConfig::AutoLock& a) { return a.onSleep; },
             [this, serial] {
                 // A pass past its time limit was let go already.
                 if (serial != sleepPassSerial_ || !sleepPassRunning_) return;
                 sleepPassLimit_.stop();
                 sleepPassRunning_ = false;
                 // Let the machine sleep now; the delay is taken again after
                 // resume.
                 sources_.sleep->sleepPassDone();
             });
}

void AutoLockController::askIdle(std::size_t from, std::function<void(std::optional<double>)> answer) {
    if (from >= sources_.idle.size()) {
        answer(std::nullopt);
        return;
    }
    QPointer<AutoLockController> self(this);
    sources_.idle[from]->idleSeconds([self, this, from, answer](std::optional<double> seconds) {
        if (!self) return;
        if (seconds) {
            if (idleSourceInUse_ != from) logger().info("idle time from " + sources_.idle[from]->name());
            idleSourceInUse_ = from;
            answer(seconds);
            return;
        }
        askIdle(from + 1, answer);
    });
}

void AutoLockController::checkIdle() {
    if (idleCheckRunning_) return;
    // Nothing to ask when no unlocked vault has an idle limit.
    bool anyLimit = false;
    for (const auto& v : model_.vaults())
        if (v->config().autoLock.idleMinutes >= 1 && model_.isUnlocked(v)) anyLimit = true;
    if (!anyLimit || sources_.idle.empty()) return;
    idleCheckRunning_ = true;
    // The source that answered last is asked first.
    const std::size_t first = idleSourceInUse_.value_or(0);
    auto finish = [this](std::optional<double> seconds) {
        idleCheckRunning_ = false;
        setIdleTime(seconds ? IdleTime::available : IdleTime::unavailable);
        if (!seconds) {
            if (!idleOffLogged_) {
                logger().warn(
                    "no source of the session's idle time answers: locking after idle minutes is off");
                idleOffLogged_ = true;
            }
            idleSourceInUse_.reset();
            return;
        }
        idleOffLogged_ = false;
        runIdlePass(*seconds);
    };
    if (first == 0) {
        askIdle(0, finish);
        return;
    }
    QPointer<AutoLockController> self(this);
    sources_.idle[first]->idleSeconds([self, this, finish](std::optional<double> seconds) {
        if (!self) return;
        if (seconds) {
            finish(seconds);
            return;
        }
        idleSourceInUse_.reset();
        askIdle(0, finish);
    });
}

void AutoLockController::runIdlePass(double idleSeconds) {
    bool any = false;
    const auto unlocked = Vault::unlockedStates(model_.vaults());
    for (std::size_t i = 0; i < model_.vaults().size(); ++i)
        if (unlocked[i] && idleQualifies(model_.vaults()[i]->config().autoLock, idleSeconds)) any = true;
    if (!any) return;
    autoLock([idleSeconds](const VaultConfig::AutoLock& a) { return idleQualifies(a, idleSeconds); }, {},
             Trigger::idle);
}

void AutoLockController::setAutoLockRetryInterval(int milliseconds) {
    autoLockRetryTimer_.setInterval(milliseconds);
}

bool AutoLockController::retryingAutoLock(const VaultPtr& vault) const {
    return autoLockRetries_.count(vault->config().id) > 0;
}

void AutoLockController::retryAutoLocks() {
    if (autoLockRetrying_) return; // the round before is still under way
    if (autoLockRetries_.empty()) {
        autoLockRetryTimer_.stop();
        return;
    }
    autoLockRetrying_ = true;
    // one vault after the other, from a snapshot: entries go during the round
    auto round = std::make_shared<std::vector<AutoLockRetry>>();
    for (const auto& entry : autoLockRetries_)
        round->push_back(entry.second);
    // each step holds the next one until it has run; the step holds itself
    // only weakly, so the chain is gone once the round ends
    auto step = std::make_shared<std::function<void(std::size_t)>>();
    std::weak_ptr<std::function<void(std::size_t)>> weakStep = step;
    QPointer<AutoLockController> self(this);
    *step = [self, round, weakStep](std::size_t i) {
        if (!self) return;
        if (i >= round->size()) {
            self->autoLockRetrying_ = false;
            if (self->autoLockRetries_.empty()) self->autoLockRetryTimer_.stop();
            return;
        }
        auto again = weakStep.lock();
        self->retryAutoLock((*round)[i], [again, i] {
            if (again) (*again)(i + 1);
        });
    };
    (*step)(0);
}

void AutoLockController::retryAutoLock(const AutoLockRetry& retry, std::function<void()> next) {
    const VaultPtr vault = retry.vault;
    const vaultkit::Uuid id = vault->config().id;
    const std::string name = vault->name();
    auto stop = [this, id, name, next](const std::string& why) {
        if (autoLockRetries_.erase(id) > 0)
            logger().info("no more tries to lock " + name + " automatically: " + why);
        next();
    };
    if (std::find(model_.vaults().begin(), model_.vaults().end(), vault) == model_.vaults().end()) {
        stop("it is no longer in the list");
        return;
    }
    auto attempt = [this, vault, id, name, next] {
        work_.lockForPass(
            vault, false,
            [this, vault, id, name, next](VaultWorkRunner::LockOutcome outcome, std::exception_ptr error) {
                if (outcome == VaultWorkRunner::LockOutcome::locked) {
                    autoLockRetries_.erase(id);
                    model_.applyLook(vault);
                    logger().info("auto-locked " + name + " on a later try");
                    const QString text = kx("ok.autoLockedLater", vault->config().name);
                    model_.setMessage(Banner(text, false));
                    model_.notices().postNotice(vault, text);
                } else if (outcome == VaultWorkRunner::LockOutcome::wasLocked) {
                    autoLockRetries_.erase(id);
                } else if (!isInUse(error)) {
                    autoLockRetries_.erase(id);
                    logger().error("auto-lock of " + name + " failed: " + errorText(error).toStdString());
                    model_.setMessage(
                        Banner(kx("err.autoLockFailed", vault->config().name, describe(error)), true));
                }
                // still in use: the next round tries again
                model_.bump();
                next();
            });
    };
    QPointer<AutoLockController> self(this);
    if (retry.trigger == Trigger::screenLock) {
        if (!screenLocked_) {
            stop("the screen was unlocked");
            return;
        }
        if (!vault->config().autoLock.onScreenLock) {
            stop("it no longer locks with the screen");
            return;
        }
        // Not every screen locker says when it is unlocked: input since the
        // screen was locked (idle time shorter than the lock) also ends it.
        const double lockedSeconds = static_cast<double>(screenLockedFor_.elapsed()) / 1000.0;
        askIdle(0, [self, stop, attempt, lockedSeconds](std::optional<double> idle) {
            if (!self) return;
            if (idle && *idle + 2.0 < lockedSeconds) {
                stop("there was input since the screen was locked");
                return;
            }
            attempt();
        });
        return;
    }
    askIdle(0, [self, vault, stop, attempt](std::optional<double> idle) {
        if (!self) return;
        if (!idle || !idleQualifies(vault->config().autoLock, *idle)) {
            stop("the session is no longer idle past its limit");
            return;
        }
        attempt();
    });
}

void AutoLockController::autoLock(const Predicate& predicate, std::function<void()> done, Trigger trigger) {
    // A snapshot: vaults added during the pass are not seen.
    // Read afresh (not the tick's snapshot): a vault unlocked a moment ago
    // must not be missed.
    std::vector<VaultPtr> targets;
    const auto unlocked = Vault::unlockedStates(model_.vaults());
    for (std::size_t i = 0; i < model_.vaults().size(); ++i)
        if (unlocked[i] && predicate(model_.vaults()[i]->config().autoLock))
            targets.push_back(model_.vaults()[i]);
    struct Pass {
        std::vector<VaultPtr> targets;
        std::vector<std::pair<VaultWorkRunner::LockOutcome, std::exception_ptr>> outcomes;
        std::size_t pending = 0;
        std::function<void()> done;
    };
    auto pass = std::make_shared<Pass>();
    pass->targets = targets;
    pass->outcomes.resize(targets.size());
    pass->pending = targets.size();
    pass->done = std::move(done);
    // Vaults with an operation running or waiting are in use: locking one
    // of them is news for the user.
    std::vector<bool> busy;
    for (const auto& v : targets)
        busy.push_back(work_.working().count(v->config().id) > 0);
    auto finish = [this, pass, busy, trigger] {
        // Outcomes are reported in the order of the list, whatever order the
        // lanes finished in; several failures leave the last banner.
        for (std::size_t i = 0; i < pass->targets.size(); ++i) {
            const auto& vault = pass->targets[i];
            const auto& [outcome, error] = pass->outcomes[i];
            if (outcome == VaultWorkRunner::LockOutcome::locked) {
                // After the pass: the sleep waits for the locks, not for the
                // folder-look tools.
                model_.applyLook(vault);
                logger().info("auto-locked " + vault->name());
                if (busy[i])
                    model_.notices().postNotice(vault, kx("notice.lockedInUse", vault->config().name));
            } else if (outcome == VaultWorkRunner::LockOutcome::failed) {
                // A program holds a file: tried again while the reason to
                // lock lasts, and the banner says so.
                const bool retry = trigger != Trigger::once && isInUse(error);
                const QString text = kx(retry ? "err.autoLockRetrying" : "err.autoLockFailed",
                                        vault->config().name, describe(error));
                if (retry) {
                    autoLockRetries_[vault->config().id] = AutoLockRetry{vault, trigger};
                    if (!autoLockRetryTimer_.isActive()) autoLockRetryTimer_.start();
                }
                model_.holdMessage(Banner(text, true));
                model_.notices().postNotice(vault, text);
                logger().error("auto-lock of " + vault->name() +
                               " failed: " + errorText(error).toStdString());
            }
        }
        model_.bump();
        if (pass->done) pass->done();
        refreshSleepDelay();
    };
    if (targets.empty()) {
        finish();
        return;
    }
    // The vaults lock in parallel (each on its own lane): before sleep the
    // time the system grants is short.
    for (std::size_t i = 0; i < targets.size(); ++i) {
        work_.lockForPass(targets[i], false,
                          [pass, i, finish](VaultWorkRunner::LockOutcome outcome, std::exception_ptr error) {
                              pass->outcomes[i] = {outcome, error};
                              if (--pass->pending == 0) finish();
                          });
    }
}
