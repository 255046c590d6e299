#pragma once

#include "app/desktop/IdleSource.h"
#include "app/desktop/Notifier.h"
#include "app/desktop/ScreenLockSource.h"
#include "app/desktop/SleepSource.h"
#include "app/model/AppModelTypes.h"
#include "app/model/VaultWorkQueue.h"
#include "vaultkit/mountmode/MountModePolicy.h"
#include "vaultkit/record/VaultConfig.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {
class GocryptfsConflictWatcher;
class Keyring;
class KeyringError;
class Vault;
class VaultPreferences;
} // namespace vaultkit

// The text of a banner for any error: a VaultError becomes kx of its key
// with its arguments; any other error its own description.
QString describe(const std::exception& error);
QString describe(const std::exception_ptr& error);
// The error's own English text, for the log ("unknown error" for anything
// that is not a std::exception).
std::string detailOf(const std::exception_ptr& error);
// The banner text of a keyring failure: why the keyring could not be used.
QString describeKeyring(const vaultkit::KeyringError& error);

// The application's one model: the vaults the user knows (the registry
// "vaults.json" in the support folder), the selection, the busy texts of
// running operations and the messages for the windows, and every action on a
// vault. It also locks vaults on its own: on sleep, on screen lock and after
// idle minutes (the quit pass is AppDelegate's).
//
// Threads: the model lives on the GUI thread and all its state changes there.
// The blocking vault library calls run on a VaultWorkQueue, one at a time per
// vault (different vaults in parallel); their outcome comes back to the GUI
// thread as a queued call. Asynchronous actions take an optional completion
// `done`, called on the GUI thread once the action has ended.
//
// Views observe the one signal changed(), emitted after every change of the
// published state (and every 2 seconds by the refresh tick, so views ask the
// mount states again).
class AppModel : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    using Done = std::function<void(bool ok)>;
    using AutoLockPredicate = std::function<bool(const vaultkit::VaultConfig::AutoLock&)>;

    // The system's event sources. Every member may be empty: that trigger
    // then never fires (empty idle list: idle locking is off, logged once).
    struct Sources {
        std::unique_ptr<SleepSource> sleep;
        std::vector<std::unique_ptr<ScreenLockSource>> screenLocks;
        std::vector<std::unique_ptr<IdleSource>> idle; // asked in this order
        Sources();
        Sources(Sources&&) noexcept;
        Sources& operator=(Sources&&) noexcept;
        ~Sources();
    };
    // The desktop's sources: logind on the system bus for sleep and the
    // session's lock, the screen savers and idle monitors on the session bus,
    // then the Wayland compositor's idle protocols, then X11.
    static Sources desktopSources();

    static constexpr int refreshIntervalMs = 2'000;
    static constexpr int idleCheckIntervalMs = 30'000;

    // Construction: the backup folder of vault records (supportDir/backups),
    // the registry, the first vault selected, the two timers and the sources.
    explicit AppModel(const QString& supportDir, Sources sources = {}, QObject* parent = nullptr);
    // Waits for the work still running on vaults.
    ~AppModel() override;

    // ---- Published state ----
    const std::vector<VaultPtr>& vaults() const { return vaults_; }
    const std::optional<vaultkit::Uuid>& selection() const { return selection_; }
    void setSelection(std::optional<vaultkit::Uuid> id);
    // The busy text of the operation running (or waiting) on each vault.
    const std::map<vaultkit::Uuid, QString>& working() const { return working_; }
    // The byte fraction (0 to 1) of each import that runs, for a progress bar.
    const std::map<vaultkit::Uuid, double>& importProgress() const { return importProgress_; }
    const std::optional<Banner>& message() const { return message_; }
    void setMessage(std::optional<Banner> banner);
    const std::optional<BusyPrompt>& busyPrompt() const { return busyPrompt_; }
    void setBusyPrompt(std::optional<BusyPrompt> prompt);
    const std::optional<ImportBatch>& importResults() const { return importResults_; }
    void setImportResults(std::optional<ImportBatch> batch);
    const std::optional<ShownMnemonic>& shownMnemonic() const { return shownMnemonic_; }
    void setShownMnemonic(std::optional<ShownMnemonic> shown);
    // The result of the last check of encrypted data, until the sheet closes.
    const std::optional<DataCheckReport>& dataCheck() const { return dataCheck_; }
    void setDataCheck(std::optional<DataCheckReport> report);
    qint64 tick() const { return tick_; }
    const QString& supportDir() const { return supportDir_; }
    QString registryFile() const;

    // ---- Registry and selection ----
    // Appends the vault unless its directory is listed already (same
    // standardized path), saving the registry; selects it either way.
    void registerVault(const VaultPtr& vault);
    // Removes this very object (not others with the same path), saves the
    // registry and selects the first remaining vault.
    void forget(const VaultPtr& vault);
    // The user picked `url`: the vault it names (VaultLocator::open) is
    // registered; else "err.notAVault", or the open error of a vault
    // directory that does not open.
    void addExisting(const QUrl& url);
    VaultPtr selected() const;
    VaultPtr vaultWithId(const vaultkit::Uuid& id) const;

    // ---- Actions (asynchronous unless noted) ----
    void unlock(const VaultPtr& vault, const QString& password, Done done = {});
    void unlockWithTouchID(const VaultPtr& vault, Done done = {});
    void lock(const VaultPtr& vault, bool force, Done done = {});
    // Locks an unlocked vault first and unlocks it again afterwards, with the
    // new password when the change worked, else with the old one.
    void changePassword(const VaultPtr& vault, const QString& oldPassword, const QString& newPassword,
                        Done done = {});
    void recover(const VaultPtr& vault, const QString& phrase, const QString& newPassword, Done done = {});
    void enableTouchID(const VaultPtr& vault, const QString& password, Done done = {});
    void regenerateMnemonic(const VaultPtr& vault, const QString& password, Done done = {});
    // Reads all the encrypted data of a locked vault with its password
    // (Vault::checkData, nothing changed) under the busy text
    // "work.checking"; the outcome becomes dataCheck(). A wrong password
    // or a failure is the usual error banner. (AppModelData.cpp)
    void checkData(const VaultPtr& vault, const QString& password, Done done = {});
    // Refuses a selection that holds the vault (its directory or its volume).
    void importItems(const VaultPtr& vault, const QList<QUrl>& urls, Done done = {});
    // No busy text and no success banner; a failure is an error banner.
    void disableTouchID(const VaultPtr& vault, Done done = {});
    void setAutoLock(const VaultPtr& vault, const vaultkit::VaultConfig::AutoLock& autoLock, Done done = {});
    // Moves the sources of the successful results to the Trash (never
    // deletes); closes the import summary at once; reports "ok.trashed" with
    // the number really moved, and the items that could not be moved.
    void trashOriginals(const std::vector<vaultkit::Importer::Result>& results, Done done = {});
    // Opens the mount point itself in the file manager (FileManager1
    // ShowFolders), else with the desktop's default handler for folders;
    // when nothing can open it, an error banner says so.
    void openInFinder(const VaultPtr& vault);

    // ---- Automatic locking ----
    // Whether a vault with this record qualifies after `idleSeconds` without
    // input: idleMinutes of at least 1 and idleSeconds >= idleMinutes x 60.
    // Values whose product does not fit 64 bits mean never.
    static bool idleQualifies(const vaultkit::VaultConfig::AutoLock& autoLock, double idleSeconds);
    // The 30-second check: asks the idle sources and locks the vaults whose
    // limit has passed.
    void checkIdle();
    // Whether a source of the session's idle time answers on this desktop,
    // as learnt by the last idle check (the pane says so beside its idle
    // choice when none does); changed() when it changes. probeIdleTime()
    // asks the sources once while it is unknown.
    enum class IdleTime { unknown, available, unavailable };
    IdleTime idleTimeKnown() const { return idleTime_; }
    void probeIdleTime();
    // What asked for an automatic lock. A screen-lock or idle lock that
    // fails because the volume is in use (a program holds a file in it) is
    // tried again while its reason holds (below); the others are tried once.
    enum class AutoLockTrigger { once, screenLock, idle };
    // One automatic pass: every unlocked vault whose record satisfies the
    // predicate is locked (never forced); a failure is one
    // "err.autoLockFailed" banner ("err.autoLockRetrying" when it will be
    // tried again). `done` runs after the pass's tick.
    void autoLock(const AutoLockPredicate& predicate, std::function<void()> done = {},
                  AutoLockTrigger trigger = AutoLockTrigger::once);
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
    // Whether an import copies into the vault right now (its work has begun
    // on the lane, not only been asked for).
    bool isImporting(const VaultPtr& vault) const;
    // Whether quick unlock can be used on this computer
    // (TouchIDKey::isAvailable), as last asked: once at start and again on a
    // relevant event (quick unlock turned on or off, a device appearing or
    // going in /dev). The question opens the TPM and waits for polkit (up to
    // its timeout), so it never runs on the GUI thread; false until the
    // first answer, changed() when the answer changes.
    bool touchIDAvailable() const { return touchIDAvailable_; }
    void recheckTouchID();
    // Whether the vault's quick-unlock key opens only in the boot state it
    // was made in (TouchIDKey::bootStateBinding): true when a computer booted
    // otherwise asks for the password, false when the key does not depend on
    // the boot state, nothing without a key or when the provider does not
    // tell. Read from the stored handle alone (neither the TPM nor the key
    // service is asked), so the GUI thread may ask.
    std::optional<bool> touchIDBootBinding(const VaultPtr& vault) const;

    // Gives the vault's folder the look of its state (FolderLook::refresh),
    // off the GUI thread: on the vault's lane after the work that runs there.
    void applyLook(const VaultPtr& vault);
    // Announces a change without changing anything (tick += 1).
    void bump();

    // Whether the vault's volume is mounted. For registered vaults the answer
    // comes from one read of the mount table per tick, shared by every vault
    // (views ask this for each vault on every change); others are asked
    // directly.
    bool isUnlocked(const VaultPtr& vault) const;
    // The mount state behind isUnlocked(), from the same read: stale when the
    // volume is still mounted but its daemon has gone (crashed, killed); such
    // a vault counts as locked and its next unlock mounts it afresh.
    vaultkit::DiskImage::MountState mountState(const VaultPtr& vault) const;

    // ---- Mount mode (AppModelMountMode.cpp) ----
    // How the vault's next unlock mounts it and why (the user's choice and
    // what the folder suggests). Looked up once per vault and kept until the
    // choice changes: the look at the vault's folder and its ancestors stays
    // off the refresh tick. The folder of a vault on a network mount is never
    // looked at (the mount table tells).
    vaultkit::MountModePolicy::Decision mountMode(const VaultPtr& vault) const;
    // Stores the choice in this computer's vault settings; it takes effect at
    // the next unlock. A failure is an error banner.
    void setMountModeChoice(const VaultPtr& vault, vaultkit::MountModePolicy::Choice choice);
    // Which sync clients cover the vault's visible folder and whether each
    // leaves it out (SyncExclusion::inspect), as texts for the pane. Looked
    // up once per vault and again when it is locked or unlocked or its look
    // is applied (the lane writes the exclusions before both).
    QStringList syncCoverage(const VaultPtr& vault) const;
    // Writes those exclusions (SyncExclusion::apply); the error's text when
    // one cannot be written. Blocks: on the vault's lane.
    static std::optional<std::string> keepSyncClientsOut(const vaultkit::Vault& vault);

    // ---- Unlock at login (AppModelLoginUnlock.cpp) ----
    // The per-vault choice lives in the vault preferences under this key (a
    // boolean); the password itself only in the keyring.
    static constexpr std::string_view loginUnlockKey = "unlockAtLogin";
    // Where stored passwords live; the desktop's Secret Service unless set.
    void setKeyring(std::shared_ptr<vaultkit::Keyring> keyring);
    bool unlocksAtLogin(const VaultPtr& vault) const;
    // Turns the choice on: checks the password against the vault, stores it
    // in the keyring (replacing an older copy), then records the choice.
    void enableLoginUnlock(const VaultPtr& vault, const QString& password, Done done = {});
    // Deletes the stored password and turns the choice off (off also when
    // the keyring cannot be reached: the error banner says so).
    void disableLoginUnlock(const VaultPtr& vault, Done done = {});
    // The start pass: every locked vault with the choice on is unlocked with
    // its stored password, one after the other, under the usual busy text.
    // The keyring is opened once for all of them (its own prompt when it is
    // locked); a keyring that stays locked or is missing leaves them locked
    // with one banner saying why. A stored password that no longer opens its
    // vault is deleted and the choice turned off, with a banner and a notice.
    // All keyring work runs off the GUI thread. `done` runs at the end.
    void unlockAtStart(std::function<void()> done = {});

    // ---- Sync conflict copies (AppModelData.cpp) ----
    // While a vault is unlocked, a watcher on its encrypted folder gives the
    // conflict copies sync clients leave a visible "(Conflict N)" name
    // (GocryptfsConflicts), at unlock and whenever the folder changes; each
    // time it does, a banner and a notice name the folders to look in.
    // Started and stopped with the mount states on every refresh tick.
    void watchConflicts();
    bool watchesConflicts(const VaultPtr& vault) const;
    // The conflict copies of an unlocked vault that the watcher had to leave
    // hidden, one line each (where, and why); empty when there are none.
    QStringList hiddenConflicts(const VaultPtr& vault) const;
    void setHiddenConflicts(const VaultPtr& vault, const QStringList& lines);

    // ---- Notices on the desktop ----
    // Where notices go (none: nowhere, the default). The model takes it.
    void setNotifier(std::unique_ptr<Notifier> notifier);
    // A notice about `vault` outside the window, for background work the
    // user must hear of while the window may be closed: the vault's name as
    // the title, `text` (localised) as the body. A click on it selects the
    // vault and emits noticeActivated(). Does nothing without a notifier.
    void postNotice(const VaultPtr& vault, const QString& text);
    // Imports that took at least this long end with a notice when no window
    // of the application is active.
    static constexpr qint64 longImportMs = 10'000;
    void setLongImportMs(qint64 ms) { longImportMs_ = ms; }
    // Whether a window of the application is active (default: the
    // application's state as the platform reports it).
    void setWindowActiveCheck(std::function<bool()> check) { windowActive_ = std::move(check); }

signals:
    void changed();
    // The user clicked a notice about the selected vault: show the window.
    void noticeActivated();

private:
    struct AutoLockRetry {
        VaultPtr vault;
        AutoLockTrigger trigger;
    };
    void retryAutoLocks();
    void retryAutoLock(const AutoLockRetry& retry, std::function<void()> next);
    using Body = std::function<void()>;
    // The runner: shows `text` as the vault's busy text, runs body on the
    // vault's lane, and ends with the working entry removed, tick += 1 and a
    // busy prompt or error banner on failure. `then` gets the outcome.
    // Returns the working entry's serial (see setWorkText).
    quint64 run(const VaultPtr& vault, const QString& text, Body body, Done then,
                VaultWorkQueue::Sharing sharing = VaultWorkQueue::Sharing::exclusive);
    // Runs `body` on the vault's lane and calls `then` on the GUI thread.
    void submit(const VaultPtr& vault, Body body, std::function<void(std::exception_ptr)> then,
                VaultWorkQueue::Sharing sharing = VaultWorkQueue::Sharing::exclusive);
    void post(std::function<void()> guiCall);
    // The unlocked look, when the vault is unlocked (applyLook).
    void unlockedLook(const VaultPtr& vault);

    void loadRegistry();
    void saveRegistry();
    void installSources();
    void refreshSleepDelay();
    void runIdlePass(double idleSeconds);
    void startSleepPass();
    void askIdle(std::size_t from, std::function<void(std::optional<double>)> answer);
    void announce();
    // Keeps the keyring's copy true after the password changed (change,
    // recovery); nothing when the choice is off.
    void keepStoredPassword(const VaultPtr& vault, const QString& password);
    // Deletes the stored password of a vault that is forgotten.
    void dropStoredPassword(const VaultPtr& vault);
    vaultkit::VaultPreferences preferences() const;
    struct StartPass;
    void startPassNext(const std::shared_ptr<StartPass>& pass);
    void startPassEnd(const std::shared_ptr<StartPass>& pass);

    struct WorkEntry {
        quint64 serial;
        QString text;
    };
    quint64 beginWork(const vaultkit::Uuid& id, const QString& text);
    void setWorkText(const vaultkit::Uuid& id, quint64 serial, const QString& text);
    void endWork(const vaultkit::Uuid& id, quint64 serial);
    void publishWork(const vaultkit::Uuid& id);

    QString supportDir_;
    std::vector<VaultPtr> vaults_;
    std::optional<vaultkit::Uuid> selection_;
    std::map<vaultkit::Uuid, QString> working_;
    std::map<vaultkit::Uuid, AutoLockRetry> autoLockRetries_;
    QTimer autoLockRetryTimer_;
    bool autoLockRetrying_ = false; // a round of retries is under way
    bool screenLocked_ = false;     // since the last lock, no source said unlocked
    QElapsedTimer screenLockedFor_; // since the last lock
    std::map<vaultkit::Uuid, std::deque<WorkEntry>> workEntries_;
    quint64 nextSerial_ = 1;
    std::map<vaultkit::Uuid, double> importProgress_;
    std::optional<Banner> message_;
    std::optional<BusyPrompt> busyPrompt_;
    std::optional<ImportBatch> importResults_;
    std::optional<ShownMnemonic> shownMnemonic_;
    std::optional<DataCheckReport> dataCheck_;
    // One watcher per unlocked vault whose driver can name conflicts.
    std::map<const vaultkit::Vault*, std::shared_ptr<vaultkit::GocryptfsConflictWatcher>> conflictWatchers_;
    std::map<const vaultkit::Vault*, QStringList> hiddenConflicts_;
    void conflictsFound(const VaultPtr& vault, const QStringList& folders);
    qint64 tick_ = 0;

    // The lock states of vaults_ as read at tick `tick` (see isUnlocked);
    // dropped whenever the list of vaults changes.
    struct UnlockedSnapshot {
        qint64 tick = -1;
        std::map<const vaultkit::Vault*, vaultkit::DiskImage::MountState> states;
    };
    mutable std::map<const vaultkit::Vault*, vaultkit::MountModePolicy::Decision> mountModes_;
    mutable std::map<const vaultkit::Vault*, std::pair<vaultkit::DiskImage::MountState, QStringList>> syncCoverage_;
    mutable UnlockedSnapshot unlocked_;
    void dropUnlockedSnapshot() { unlocked_ = {}; }

    QTimer refreshTimer_;
    QTimer idleTimer_;
    Sources sources_;
    std::optional<std::size_t> idleSourceInUse_;
    bool idleOffLogged_ = false;
    IdleTime idleTime_ = IdleTime::unknown;
    bool idleProbing_ = false;
    void setIdleTime(IdleTime known);
    bool sleepPassRunning_ = false;
    quint64 sleepPassSerial_ = 0; // the pass whose end releases the sleep delay
    QTimer sleepPassLimit_;
    bool screenPassRunning_ = false;
    bool idleCheckRunning_ = false;

    std::unique_ptr<Notifier> notifier_;
    bool touchIDAvailable_ = false;
    bool touchIDAsking_ = false;
    bool touchIDAskAgain_ = false;
    QFileSystemWatcher devices_;
    QTimer devicesSettled_;
    qint64 longImportMs_ = longImportMs;
    std::function<bool()> windowActive_;

    // Which lanes run an import and which a pass's lock, shared with the
    // workers: an import starts only while no lock runs on its vault, and a
    // lock learns whether an import runs (and may stop it).
    struct ImportGuard {
        struct LaneState {
            bool importing = false;
            bool locking = false;
            std::shared_ptr<std::atomic<bool>> stop;
        };
        std::mutex mutex;
        std::condition_variable changed;
        std::map<std::string, LaneState> lanes;
    };
    std::shared_ptr<ImportGuard> importGuard_ = std::make_shared<ImportGuard>();

    std::shared_ptr<vaultkit::Keyring> keyring_;

    // Last: destroyed first, so the model's members outlive the work.
    std::unique_ptr<VaultWorkQueue> queue_;
};
