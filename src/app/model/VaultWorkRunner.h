#pragma once

#include "app/model/VaultWorkQueue.h"
#include "vaultkit/record/Uuid.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class AppModel;
namespace vaultkit {
class Vault;
}

// Runs the model's blocking work on the vaults' lanes (a VaultWorkQueue, one
// serial lane per vault directory) and brings each outcome back to the GUI
// thread. It keeps the busy texts of what runs or waits on each vault, which
// the model publishes as working().
class VaultWorkRunner {
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    using Body = std::function<void()>;
    using Done = std::function<void(bool ok)>;

    explicit VaultWorkRunner(AppModel& model);
    // Waits for the work still running.
    ~VaultWorkRunner();
    VaultWorkRunner(const VaultWorkRunner&) = delete;
    VaultWorkRunner& operator=(const VaultWorkRunner&) = delete;

    // The lane of a vault: its standardized directory.
    static std::string laneOf(const vaultkit::Vault& vault);

    // Shows `text` as the vault's busy text, runs body on the vault's lane,
    // and ends with the working entry removed, tick += 1 and a busy prompt or
    // error banner on failure. `then` gets the outcome. Returns the working
    // entry's serial (see setWorkText).
    quint64 run(const VaultPtr& vault, const QString& text, Body body, Done then,
                VaultWorkQueue::Sharing sharing = VaultWorkQueue::Sharing::exclusive);
    // Runs `body` on the vault's lane and calls `then` on the GUI thread.
    void submit(const VaultPtr& vault, Body body, std::function<void(std::exception_ptr)> then,
                VaultWorkQueue::Sharing sharing = VaultWorkQueue::Sharing::exclusive);
    // A job on a lane of no vault (" trash", " keyring").
    void submitOnLane(const std::string& lane, std::function<void()> job);
    // Calls `guiCall` on the GUI thread; dropped once the model is gone.
    void post(std::function<void()> guiCall);
    void waitForDone();

    // The busy texts: the one shown for a vault is that of its oldest entry
    // (what its lane runs now).
    quint64 beginWork(const vaultkit::Uuid& id, const QString& text);
    void setWorkText(const vaultkit::Uuid& id, quint64 serial, const QString& text);
    void endWork(const vaultkit::Uuid& id, quint64 serial);
    // The serial the next beginWork hands out.
    quint64 nextSerial() const { return nextSerial_; }
    const std::map<vaultkit::Uuid, QString>& working() const { return working_; }

    // The result of the quit pass's lock of one vault.
    enum class LockOutcome { locked, wasLocked, failed };
    // Locks the vault if it is unlocked when tried; `then` gets the outcome
    // and the error (on the GUI thread). No banner, no working entry, no
    // folder look (the caller decides).
    //
    // Tried at once, not behind the vault's queue: an urgent job of its lane
    // (VaultWorkQueue), beside a running import, else right after the
    // operation that runs now (all but imports are short). Beside an import
    // a lock that is not forced fails as busy, naming the copier with the
    // volume's other users, without touching the mount; a forced one stops
    // the import before its next item and then locks (the item being copied
    // fails with the volume gone). The vault library's one-operation-at-a-
    // time rule holds otherwise: an import only reads the vault's paths and
    // runs the copier, and a lock and the start of an import exclude each
    // other (ImportGuard).
    void lockForPass(const VaultPtr& vault, bool force,
                     std::function<void(LockOutcome, std::exception_ptr)> then);
    // On the lane, around an import's copy: waits while a pass's lock runs
    // there, then counts as importing until `copy` returns; `stop` turns true
    // when a forced lock wants the volume.
    void whileImporting(const std::string& lane,
                        const std::function<void(const std::atomic<bool>& stop)>& copy);
    // Whether an import copies into the vault right now (its work has begun
    // on the lane, not only been asked for).
    bool isImporting(const VaultPtr& vault) const;

private:
    void publishWork(const vaultkit::Uuid& id);

    struct WorkEntry {
        quint64 serial;
        QString text;
    };
    // Which lanes run an import and which a pass's lock, shared with the
    // workers.
    struct LaneState {
        bool importing = false;
        bool locking = false;
        std::shared_ptr<std::atomic<bool>> stop;
    };
    struct ImportGuard {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<std::string, LaneState> lanes;
    };

    AppModel& model_;
    std::map<vaultkit::Uuid, std::deque<WorkEntry>> workEntries_;
    std::map<vaultkit::Uuid, QString> working_;
    quint64 nextSerial_ = 1;
    std::shared_ptr<ImportGuard> importGuard_ = std::make_shared<ImportGuard>();
    // Last: destroyed first, so the members above outlive the work.
    std::unique_ptr<VaultWorkQueue> queue_;
};
