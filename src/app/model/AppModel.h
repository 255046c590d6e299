#pragma once

#include "app/desktop/EventSources.h"
#include "app/desktop/Notifier.h"
#include "app/model/AppModelTypes.h"
#include "app/model/AutoLockController.h"
#include "vaultkit/mountmode/MountModePolicy.h"
#include "vaultkit/record/VaultConfig.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vaultkit {
class KeyringError;
class Vault;
} // namespace vaultkit
class ConflictWatch;
class LoginUnlockController;
class Notices;
class QuickUnlockAvailability;
class VaultWorkRunner;

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
// running operations, the messages for the windows, and every action on a
// vault. Its parts do the rest: VaultWorkRunner runs the blocking work on the
// vaults' lanes, AutoLockController locks on its own, LoginUnlockController
// unlocks at login, ConflictWatch shows conflict copies, QuickUnlockAvailability
// says whether quick unlock works here, Notices speaks outside the window.
//
// Threads: the model and its parts live on the GUI thread and all their state
// changes there; outcomes of the lanes come back as queued calls. Actions are
// asynchronous and take an optional completion `done`, called on the GUI
// thread once the action has ended. Views observe the one signal changed(),
// emitted after every change of the published state and every 2 seconds.
class AppModel : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    using Done = std::function<void(bool ok)>;
    using Sources = EventSources;
    static constexpr int refreshIntervalMs = 2'000;

    // The backup folder of vault records (supportDir/backups), the registry,
    // the first vault selected, the refresh tick and the parts.
    explicit AppModel(const QString& supportDir, EventSources sources = {}, QObject* parent = nullptr);
    // Waits for the work still running on vaults.
    ~AppModel() override;

    VaultWorkRunner& work() const { return *work_; }
    AutoLockController& autoLocking() const { return *autoLock_; }
    LoginUnlockController& loginUnlock() const { return *loginUnlock_; }
    ConflictWatch& conflicts() const { return *conflicts_; }
    QuickUnlockAvailability& quickUnlock() const { return *quickUnlock_; }
    Notices& notices() const { return *notices_; }

    // ---- Published state ----
    const std::vector<VaultPtr>& vaults() const { return vaults_; }
    const std::optional<vaultkit::Uuid>& selection() const { return selection_; }
    void setSelection(std::optional<vaultkit::Uuid> id);
    // The busy text of the operation running (or waiting) on each vault.
    const std::map<vaultkit::Uuid, QString>& working() const;
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
    // For the parts: a banner or prompt set without announcing it (the
    // caller announces), and the announcement itself.
    void holdMessage(Banner banner) { message_ = std::move(banner); }
    void holdBusyPrompt(BusyPrompt prompt) { busyPrompt_ = std::move(prompt); }
    void announce();
    // Announces a change without changing anything (tick += 1).
    void bump();

    // ---- Registry and selection ----
    // Appends the vault unless its directory is listed already (same
    // standardized path), saving the registry; selects it either way.
    void registerVault(const VaultPtr& vault);
    // Removes this very object, its settings and stored password, saves the
    // registry and selects the first remaining vault.
    void forget(const VaultPtr& vault);
    // The vault `url` names (VaultLocator::open) is registered; else
    // "err.notAVault", or the open error of a vault directory that does not open.
    void addExisting(const QUrl& url);
    VaultPtr selected() const;
    VaultPtr vaultWithId(const vaultkit::Uuid& id) const;

    // ---- Actions ----
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
    // Reads all the encrypted data of a locked vault (Vault::checkData,
    // nothing changed); the outcome becomes dataCheck(). (AppModelDataCheck.cpp)
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
    // Opens the mount point in the file manager, else with the desktop's
    // default handler for folders; else an error banner says so.
    void openInFinder(const VaultPtr& vault);
    // Gives the vault's folder the look of its state (FolderLook::refresh),
    // on the vault's lane after the work that runs there.
    void applyLook(const VaultPtr& vault);

    // Whether the vault's volume is mounted: for registered vaults from one
    // read of the mount table per tick, shared by every vault; stale (mounted,
    // its daemon gone) counts as locked.
    bool isUnlocked(const VaultPtr& vault) const;
    vaultkit::DiskImage::MountState mountState(const VaultPtr& vault) const;

    // ---- Mount mode (AppModelMountMode.cpp) ----
    // How the vault's next unlock mounts it and why; looked up once per vault
    // (never the folder of a network mount) and kept until the choice changes.
    vaultkit::MountModePolicy::Decision mountMode(const VaultPtr& vault) const;
    // Stores the choice for the next unlock; a failure is an error banner.
    void setMountModeChoice(const VaultPtr& vault, vaultkit::MountModePolicy::Choice choice);
    // Which sync clients cover the vault's visible folder and whether each
    // leaves it out, as texts; looked up again when the mount state changes.
    QStringList syncCoverage(const VaultPtr& vault) const;
    // Writes those exclusions; the error's text when one cannot be written.
    static std::optional<std::string> keepSyncClientsOut(const vaultkit::Vault& vault);

    // ---- The parts' answers the pane still asks here ----
    using IdleTime = AutoLockController::IdleTime;
    IdleTime idleTimeKnown() const;
    void probeIdleTime();
    bool sleepLockAvailable() const;
    bool touchIDAvailable() const;
    std::optional<bool> touchIDBootBinding(const VaultPtr& vault) const;
    bool unlocksAtLogin(const VaultPtr& vault) const;
    void enableLoginUnlock(const VaultPtr& vault, const QString& password, Done done = {});
    void disableLoginUnlock(const VaultPtr& vault, Done done = {});
    QStringList hiddenConflicts(const VaultPtr& vault) const;
    void recheckTouchID();
    void watchConflicts();
    bool watchesConflicts(const VaultPtr& vault) const;
    void setNotifier(std::unique_ptr<Notifier> notifier);
    void setLongImportMs(qint64 ms);
    void setWindowActiveCheck(std::function<bool()> check);

signals:
    void changed();

private:
    void loadRegistry();
    void saveRegistry();
    void dropUnlockedSnapshot() { unlocked_ = {}; }

    QString supportDir_;
    std::vector<VaultPtr> vaults_;
    std::optional<vaultkit::Uuid> selection_;
    std::map<vaultkit::Uuid, double> importProgress_;
    std::optional<Banner> message_;
    std::optional<BusyPrompt> busyPrompt_;
    std::optional<ImportBatch> importResults_;
    std::optional<ShownMnemonic> shownMnemonic_;
    std::optional<DataCheckReport> dataCheck_;
    qint64 tick_ = 0;
    // The mount states of vaults_ as read at tick `tick` (see isUnlocked);
    // dropped whenever the list of vaults changes.
    struct UnlockedSnapshot {
        qint64 tick = -1;
        std::map<const vaultkit::Vault*, vaultkit::DiskImage::MountState> states;
    };
    mutable UnlockedSnapshot unlocked_;
    mutable std::map<const vaultkit::Vault*, vaultkit::MountModePolicy::Decision> mountModes_;
    mutable std::map<const vaultkit::Vault*, std::pair<vaultkit::DiskImage::MountState, QStringList>> syncCoverage_;
    QTimer refreshTimer_;

    // The runner first: the parts use it, and it goes last.
    std::unique_ptr<VaultWorkRunner> work_;
    std::unique_ptr<Notices> notices_;
    std::unique_ptr<AutoLockController> autoLock_;
    std::unique_ptr<LoginUnlockController> loginUnlock_;
    std::unique_ptr<ConflictWatch> conflicts_;
    std::unique_ptr<QuickUnlockAvailability> quickUnlock_;
};
