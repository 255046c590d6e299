#pragma once

#include "app/desktop/EventSources.h"
#include "app/model/AppModelTypes.h"
#include "app/model/ErrorText.h"
#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/record/VaultConfig.h"

#include <QObject>
#include <QTimer>
#include <QUrl>

#include <map>

class AutoLockController;
class ConflictWatch;
class LoginUnlockController;
class MountModes;
class Notices;
class QuickUnlockAvailability;
class VaultWorkRunner;

// The application's one model: the vaults the user knows (the registry in the
// support folder), the selection, the busy texts and messages for the windows,
// and every action on a vault. VaultWorkRunner runs the blocking work on the
// vaults' lanes and brings outcomes back to the GUI thread, where the model
// and its parts live; each other part keeps one feature. Actions take an
// optional completion `done`, called on the GUI thread once they end. Views
// observe changed(), emitted after every change and every 2 seconds.
class AppModel : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    using Done = std::function<void(bool ok)>;
    static constexpr int refreshIntervalMs = 2'000;

    // Sets the backup folder of vault records (supportDir/backups), reads the
    // registry and selects the first vault.
    explicit AppModel(const QString& supportDir, EventSources sources = {}, QObject* parent = nullptr);
    ~AppModel() override; // waits for the work still running on vaults

    VaultWorkRunner& work() const { return *work_; }
    AutoLockController& autoLocking() const { return *autoLock_; }
    LoginUnlockController& loginUnlock() const { return *loginUnlock_; }
    ConflictWatch& conflicts() const { return *conflicts_; }
    QuickUnlockAvailability& quickUnlock() const { return *quickUnlock_; }
    Notices& notices() const { return *notices_; }
    MountModes& mountModes() const { return *mountModes_; }

    // ---- Published state ----
    const std::vector<VaultPtr>& vaults() const { return vaults_; }
    const std::optional<vaultkit::Uuid>& selection() const { return selection_; }
    void setSelection(std::optional<vaultkit::Uuid> id);
    // Busy texts of running or waiting work; each import's byte fraction.
    const std::map<vaultkit::Uuid, QString>& working() const;
    const std::map<vaultkit::Uuid, double>& importProgress() const { return importProgress_; }
    const std::optional<Banner>& message() const { return message_; }
    void setMessage(std::optional<Banner> banner);
    const std::optional<BusyPrompt>& busyPrompt() const { return busyPrompt_; }
    void setBusyPrompt(std::optional<BusyPrompt> prompt);
    const std::optional<ImportBatch>& importResults() const { return importResults_; }
    void setImportResults(std::optional<ImportBatch> batch);
    const std::optional<ShownMnemonic>& shownMnemonic() const { return shownMnemonic_; }
    void setShownMnemonic(std::optional<ShownMnemonic> shown);
    const std::optional<DataCheckReport>& dataCheck() const { return dataCheck_; }
    void setDataCheck(std::optional<DataCheckReport> report);
    qint64 tick() const { return tick_; }
    const QString& supportDir() const { return supportDir_; }
    QString registryFile() const;
    // For the parts: a banner or prompt set for the next announcement.
    void holdMessage(Banner banner) { message_ = std::move(banner); }
    void holdBusyPrompt(BusyPrompt prompt) { busyPrompt_ = std::move(prompt); }
    void announce();
    void bump(); // announces without changing anything (tick += 1)

    // ---- Registry and selection ----
    // Appends the vault unless its standardized directory is listed already,
    // saving the registry; selects it either way.
    void registerVault(const VaultPtr& vault);
    // Removes this very object with its settings and stored password.
    void forget(const VaultPtr& vault);
    // Registers the vault `url` names (VaultLocator::open), else its error.
    void addExisting(const QUrl& url);
    VaultPtr selected() const;
    VaultPtr vaultWithId(const vaultkit::Uuid& id) const;

    // ---- Actions ----
    void unlock(const VaultPtr& vault, const QString& password, Done done = {});
    void unlockWithTouchID(const VaultPtr& vault, Done done = {});
    void lock(const VaultPtr& vault, bool force, Done done = {});
    // An unlocked vault is locked first and unlocked again afterwards.
    void changePassword(const VaultPtr& vault, const QString& oldPassword, const QString& newPassword,
                        Done done = {});
    void recover(const VaultPtr& vault, const QString& phrase, const QString& newPassword, Done done = {});
    void enableTouchID(const VaultPtr& vault, const QString& password, Done done = {});
    void disableTouchID(const VaultPtr& vault, Done done = {}); // no busy text, no success banner
    void regenerateMnemonic(const VaultPtr& vault, const QString& password, Done done = {});
    // Reads all the encrypted data; the outcome becomes dataCheck().
    void checkData(const VaultPtr& vault, const QString& password, Done done = {});
    // Refuses a selection that holds the vault (its directory or its volume).
    void importItems(const VaultPtr& vault, const QList<QUrl>& urls, Done done = {});
    void setAutoLock(const VaultPtr& vault, const vaultkit::VaultConfig::AutoLock& autoLock, Done done = {});
    // Moves the successful results' sources to the Trash (never deletes).
    void trashOriginals(const std::vector<vaultkit::Importer::Result>& results, Done done = {});
    // Opens the mount point in the file manager or the folder handler.
    void openInFileManager(const VaultPtr& vault);
    // The folder look of the vault's state, on its lane after what runs there.
    void applyLook(const VaultPtr& vault);

    // Whether the volume is mounted: one read of the mount table per tick for
    // every registered vault; stale (mounted, its daemon gone) counts as locked.
    bool isUnlocked(const VaultPtr& vault) const;
    vaultkit::DiskImage::MountState mountState(const VaultPtr& vault) const;

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
    // The mount states of vaults_ read at tick `tick`; dropped whenever the
    // list of vaults changes.
    struct UnlockedSnapshot {
        qint64 tick = -1;
        std::map<const vaultkit::Vault*, vaultkit::DiskImage::MountState> states;
    };
    mutable UnlockedSnapshot unlocked_;
    QTimer refreshTimer_;
    // The runner first: the parts use it, and it goes last.
    std::unique_ptr<VaultWorkRunner> work_;
    std::unique_ptr<Notices> notices_;
    std::unique_ptr<MountModes> mountModes_;
    std::unique_ptr<AutoLockController> autoLock_;
    std::unique_ptr<LoginUnlockController> loginUnlock_;
    std::unique_ptr<ConflictWatch> conflicts_;
    std::unique_ptr<QuickUnlockAvailability> quickUnlock_;
};
