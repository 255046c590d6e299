#include "app/shell/AppDelegate.h"

#include "app/desktop/FolderLook.h"
#include "app/desktop/TerminationSignals.h"
#include "app/model/VaultWorkRunner.h"
#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"

#include <QCoreApplication>

#include <csignal>

using vaultkit::VaultError;

QPointer<AppModel> AppDelegate::model;

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

std::optional<std::vector<std::string>> busyNames(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const VaultError& e) {
        if (e.kind() == VaultError::Case::busy) return e.payload();
    } catch (...) {
    }
    return std::nullopt;
}

QString joined(const std::vector<std::string>& names) {
    QStringList list;
    for (const auto& n : names)
        list << QString::fromStdString(n);
    return list.join(", ");
}

const char* signalName(int number) {
    switch (number) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

} // namespace

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::lockOnQuit() const {
    if (settingsFile_.isEmpty()) return kxcore::Settings().lockOnQuit();
    return kxcore::Settings(settingsFile_).lockOnQuit();
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate(std::function<void(bool quit)> reply) {
    if (!model) return TerminateReply::now;
    bool anyUnlocked = false;
    for (const auto& v : model->vaults())
        if (v->isUnlocked()) anyUnlocked = true;
    if (!anyUnlocked) return TerminateReply::now;
    if (!lockOnQuit()) return TerminateReply::now; // the vaults stay unlocked
    // A second request while the pass runs waits for the same answer.
    const bool running = isQuitPending();
    pendingReplies_.push_back(std::move(reply));
    if (running) return TerminateReply::later;
    auto vaults = std::make_shared<std::vector<AppModel::VaultPtr>>(model->vaults());
    quitStep(vaults, 0, true, [this](bool quit) { finishQuit(quit); });
    return TerminateReply::later;
}

void AppDelegate::finishQuit(bool quit) {
    auto replies = std::move(pendingReplies_);
    pendingReplies_.clear();
    for (auto& r : replies)
        if (r) r(quit);
}

void AppDelegate::quitStep(std::shared_ptr<std::vector<AppModel::VaultPtr>> vaults, std::size_t index,
                           bool interactive, std::function<void(bool)> finished) {
    if (!model) {
        finished(true);
        return;
    }
    // The next vault that is unlocked now (asked again on its lane).
    while (index < vaults->size() && !(*vaults)[index]->isUnlocked())
        ++index;
    if (index >= vaults->size()) {
        model->bump();
        finished(true);
        return;
    }
    const AppModel::VaultPtr vault = (*vaults)[index];
    auto next = [this, vaults, index, interactive, finished] {
        quitStep(vaults, index + 1, interactive, finished);
    };
    model->work().lockForPass(
        vault, false,
        [this, vault, next, interactive, finished](VaultWorkRunner::LockOutcome outcome, std::exception_ptr error) {
            if (outcome == VaultWorkRunner::LockOutcome::locked) {
                if (model) model->applyLook(vault);
                next();
                return;
            }
            if (outcome == VaultWorkRunner::LockOutcome::wasLocked) {
                next();
                return;
            }
            const auto names = busyNames(error);
            if (!names) {
                logger().error("lock on quit: " + detailOf(error));
                next();
                return;
            }
            if (!interactive || !alert_) {
                logger().warn("lock on quit: " + vault->name() + " is in use by [" +
                              joined(*names).toStdString() + "] and stays unlocked");
                next();
                return;
            }
            const QString name = QString::fromStdString(vault->config().name);
            alert_->ask(kx("quit.busy.title", name), kx("quit.busy.body", joined(*names)),
                        {kx("quit.busy.force"), kx("quit.busy.keep"), kx("common.cancel")},
                        [this, vault, next, finished](BusyAlert::Answer answer) {
                            switch (answer) {
                            case BusyAlert::Answer::force:
                                if (!model) {
                                    finished(true);
                                    return;
                                }
                                model->work().lockForPass(vault, true,
                                                   [vault, next](VaultWorkRunner::LockOutcome, std::exception_ptr) {
                                                       // Whatever the outcome: a failure here is not
                                                       // reported.
                                                       if (model) model->applyLook(vault);
                                                       next();
                                                   });
                                return;
                            case BusyAlert::Answer::keep:
                                next();
                                return;
                            case BusyAlert::Answer::cancel:
                                break;
                            }
                            logger().info("quit cancelled");
                            finished(false);
                        });
        });
}

void AppDelegate::lockForShutdown(std::function<void()> done) {
    if (!model || !lockOnQuit()) {
        if (done) done();
        return;
    }
    auto vaults = std::make_shared<std::vector<AppModel::VaultPtr>>(model->vaults());
    quitStep(vaults, 0, false, [done = std::move(done)](bool) {
        if (done) done();
    });
}

void AppDelegate::installTerminationHandling(std::function<void(int)> exit) {
    exit_ = exit ? std::move(exit) : [](int status) { QCoreApplication::exit(status); };
    if (signals_) return;
    signals_ = new TerminationSignals(this);
    connect(signals_, &TerminationSignals::terminationRequested, this, [this](int number) {
        if (shuttingDown_) {
            logger().info(std::string(signalName(number)) + " again: still locking vaults");
            return;
        }
        shuttingDown_ = true;
        logger().info(std::string(signalName(number)) + ": locking vaults, then exiting");
        lockForShutdown([this] { exit_(0); });
    });
}
