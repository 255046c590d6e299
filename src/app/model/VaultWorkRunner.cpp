#include "app/model/VaultWorkRunner.h"

#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "kxcore/Log.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"

#include <QMetaObject>
#include <QStringList>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;
using vaultkit::Uuid;
using vaultkit::VaultError;

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

// ["a", "b"]: the list as the log shows it.
QString bracketed(const QStringList& names) {
    QStringList quoted;
    for (const QString& n : names)
        quoted << "\"" + n + "\"";
    return "[" + quoted.join(", ") + "]";
}

QStringList toQStringList(const std::vector<std::string>& list) {
    QStringList out;
    for (const auto& s : list)
        out << QString::fromStdString(s);
    return out;
}

const VaultError* asVaultError(const std::exception_ptr& error, std::optional<VaultError>& holder) {
    try {
        std::rethrow_exception(error);
    } catch (const VaultError& e) {
        holder = e;
        return &*holder;
    } catch (...) {
        return nullptr;
    }
}

} // namespace

VaultWorkRunner::VaultWorkRunner(AppModel& model)
    : model_(model)
    , queue_(std::make_unique<VaultWorkQueue>()) {}

VaultWorkRunner::~VaultWorkRunner() {
    queue_->waitForDone();
}

std::string VaultWorkRunner::laneOf(const vaultkit::Vault& vault) {
    return vaultkit::Registry::standardized(vault.dir());
}

void VaultWorkRunner::waitForDone() {
    queue_->waitForDone();
}

void VaultWorkRunner::post(std::function<void()> guiCall) {
    QMetaObject::invokeMethod(&model_, std::move(guiCall), Qt::QueuedConnection);
}

void VaultWorkRunner::submitOnLane(const std::string& lane, std::function<void()> job) {
    queue_->submit(lane, std::move(job));
}

void VaultWorkRunner::submit(const VaultPtr& vault, Body body, std::function<void(std::exception_ptr)> then,
                             VaultWorkQueue::Sharing sharing) {
    queue_->submit(
        laneOf(*vault),
        [this, vault, body = std::move(body), then = std::move(then)]() mutable {
            std::exception_ptr error;
            try {
                body();
            } catch (...) {
                error = std::current_exception();
            }
            // Destroy the body (and any secret it captured) on the worker.
            body = nullptr;
            post([then = std::move(then), error] { then(error); });
        },
        sharing);
}

quint64 VaultWorkRunner::beginWork(const Uuid& id, const QString& text) {
    const quint64 serial = nextSerial_++;
    workEntries_[id].push_back({serial, text});
    publishWork(id);
    return serial;
}

void VaultWorkRunner::setWorkText(const Uuid& id, quint64 serial, const QString& text) {
    auto it = workEntries_.find(id);
    if (it == workEntries_.end()) return;
    for (auto& e : it->second)
        if (e.serial == serial) e.text = text;
    publishWork(id);
}

void VaultWorkRunner::endWork(const Uuid& id, quint64 serial) {
    auto it = workEntries_.find(id);
    if (it == workEntries_.end()) return;
    std::erase_if(it->second, [&](const WorkEntry& e) { return e.serial == serial; });
    if (it->second.empty()) workEntries_.erase(it);
    publishWork(id);
}

void VaultWorkRunner::publishWork(const Uuid& id) {
    auto it = workEntries_.find(id);
    if (it == workEntries_.end())
        working_.erase(id);
    else
        working_[id] = it->second.front().text;
}

quint64 VaultWorkRunner::run(const VaultPtr& vault, const QString& text, Body body, Done then,
                             VaultWorkQueue::Sharing sharing) {
    const Uuid id = vault->config().id;
    const quint64 serial = beginWork(id, text);
    model_.announce();
    submit(
        vault, std::move(body),
        [this, vault, id, serial, text, then = std::move(then)](std::exception_ptr error) {
            bool ok = true;
            if (error) {
                ok = false;
                std::optional<VaultError> holder;
                const VaultError* ve = asVaultError(error, holder);
                if (ve && ve->kind() == VaultError::Case::busy) {
                    const QStringList names = toQStringList(ve->payload());
                    logger().info(text + " busy: " + bracketed(names));
                    model_.holdBusyPrompt(BusyPrompt(vault, names));
                } else {
                    model_.holdMessage(Banner(describe(error), true));
                    logger().error(text + " failed: " + QString::fromStdString(detailOf(error)));
                }
            }
            endWork(id, serial);
            model_.bump();
            model_.autoLocking().refreshSleepDelay();
            if (then) then(ok);
        },
        sharing);
    return serial;
}

void VaultWorkRunner::lockForPass(const VaultPtr& vault, bool force,
                                  std::function<void(LockOutcome, std::exception_ptr)> then) {
    queue_->submitUrgent(laneOf(*vault), [this, vault, force, then = std::move(then), guard = importGuard_,
                                          lane = laneOf(*vault)] {
        bool wasLocked = false;
        std::exception_ptr error;
        bool importing = false;
        {
            std::lock_guard lock(guard->mutex);
            auto& state = guard->lanes[lane];
            state.locking = true;
            importing = state.importing;
            // Before the volume goes: no further item is started.
            if (importing && force && state.stop) *state.stop = true;
        }
        try {
            // Asked when tried: a user operation or another pass may have
            // locked it meanwhile.
            if (!vault->isUnlocked()) {
                wasLocked = true;
            } else if (importing && !force) {
                // The copier uses the volume even between two files.
                auto names = vault->busyProcesses();
                const std::string copier = fs::path(vaultkit::Importer::copyTool).filename().string();
                if (std::find(names.begin(), names.end(), copier) == names.end())
                    names.insert(names.begin(), copier);
                throw VaultError::busy(std::move(names));
            } else {
                vault->lock(force);
            }
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(guard->mutex);
            auto it = guard->lanes.find(lane);
            if (it != guard->lanes.end()) {
                it->second.locking = false;
                if (!it->second.importing) guard->lanes.erase(it);
            }
            guard->changed.notify_all();
        }
        post([then, wasLocked, error] {
            if (error)
                then(LockOutcome::failed, error);
            else
                then(wasLocked ? LockOutcome::wasLocked : LockOutcome::locked, nullptr);
        });
    });
}

void VaultWorkRunner::whileImporting(const std::string& lane,
                                     const std::function<void(const std::atomic<bool>& stop)>& copy) {
    // Not while a pass locks the vault; a forced lock later stops the import
    // before its next item (see lockForPass).
    const std::shared_ptr<ImportGuard> guard = importGuard_;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    {
        std::unique_lock lock(guard->mutex);
        guard->changed.wait(lock, [&] { return !guard->lanes[lane].locking; });
        guard->lanes[lane].importing = true;
        guard->lanes[lane].stop = stop;
    }
    const struct Leave {
        std::shared_ptr<ImportGuard> guard;
        std::string lane;
        ~Leave() {
            std::lock_guard lock(guard->mutex);
            auto& state = guard->lanes[lane];
            state.importing = false;
            state.stop.reset();
            if (!state.locking) guard->lanes.erase(lane);
            guard->changed.notify_all();
        }
    } leave{guard, lane};
    copy(*stop);
}

bool VaultWorkRunner::isImporting(const VaultPtr& vault) const {
    std::lock_guard lock(importGuard_->mutex);
    const auto it = importGuard_->lanes.find(laneOf(*vault));
    return it != importGuard_->lanes.end() && it->second.importing;
}
