#pragma once

#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/mountmode/MountModePolicy.h"
#include "vaultkit/record/VaultConfig.h"
#include "vaultkit/record/VaultPreferences.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vaultkit {

class Mnemonic;

// One encrypted folder. A vault named N in the folder P is the hidden vault
// directory P/.N.hushcoffer (`dir`: the encrypted image, vault.json with its
// copy vault.json.bak, README.txt) and the visible folder P/N (`mountPoint`),
// on which the decrypted volume is mounted while the vault is unlocked.
//
// Whether the vault is unlocked is never cached: isUnlocked() asks the mount
// table each time.
//
// Concurrency: all operations block (they run system tools) and are meant to
// run on a worker thread. Operations on ONE vault must not run concurrently;
// the caller runs them one at a time (operations on different vaults are
// independent). The only thing guarded here is the in-memory record, read and
// replaced under a mutex, so another thread (a window) may read config() while
// an operation changes it.
class Vault {
public:
    using Progress = std::function<void(const std::string& key)>;

    // ".hushcoffer": the vault directory is "." + name + dirSuffix.
    static constexpr std::string_view dirSuffix = ".hushcoffer";
    // Name of the marker file at the root of the encrypted volume.
    static constexpr std::string_view markerName = ".hushcoffer-id";
    // The file at the volume root that keeps desktop search from indexing the
    // decrypted files.
    static constexpr std::string_view noIndexName = ".trackerignore";
    // Volume name given to every image.
    static constexpr std::string_view volumeName = "Hushcoffer";

    // Names that never count as user content of a folder: the locked look's
    // files of both desktops' file managers and the other platform's.
    static const std::set<std::string>& ignorable();

    // True exactly for "." + at least one character + ".hushcoffer".
    static bool isVaultDirName(std::string_view name);

    // Folder of the third copies of vault records; empty (the default): no
    // third copy is written or read. Set once at start by the application.
    static std::optional<std::filesystem::path> backupDirectory();
    static void setBackupDirectory(std::optional<std::filesystem::path> folder);
    // backupDirectory + "vault-" + 16 hex digits (first 8 bytes of SHA-256 of
    // the canonical path of dir) + ".json"; empty while backupDirectory is.
    static std::optional<std::filesystem::path> backupURL(const std::filesystem::path& dir);

    // The support folder whose VaultPreferences hold this computer's choices
    // for each vault (the mount mode); empty (the default): every vault has
    // the automatic choice and a choice cannot be stored. Set once at start
    // by the application and the command-line tool.
    static std::optional<VaultPreferences> preferences();
    static void setPreferencesDirectory(std::optional<std::filesystem::path> supportDir);

    // The password rule: at least 8 user-perceived characters, no NUL, no line
    // break (U+000A-U+000D, U+0085, U+2028, U+2029 as a character's first code
    // point). Throws VaultError::weakPassword.
    static void validate(std::string_view password);

    // Makes a new vault in parent, unlocked. Progress keys, in order:
    // "create", "verify", "done". A failure after the vault directory has been
    // made removes everything this call made (an adopted empty folder stays).
    static std::shared_ptr<Vault> create(const std::filesystem::path& parent, std::string_view name,
                                         const std::string& password, const Mnemonic& mnemonic,
                                         const Progress& progress = {},
                                         std::shared_ptr<DiskImage> driver = DiskImage::platformDefault());

    // Loads the record (vault.json, vault.json.bak, backup copy: the first
    // that reads and decodes). Never touches the image. Throws configMissing.
    static std::shared_ptr<Vault> open(const std::filesystem::path& dir,
                                       std::shared_ptr<DiskImage> driver = DiskImage::platformDefault());

    // The entry names of a folder the user would see, in the file system's
    // order: without the ignorable names and without symbolic links to an
    // application (destination ending ".app" or ".desktop"). File-system
    // errors pass through.
    static std::vector<std::string> visibleItems(const std::filesystem::path& folder);
    // Whether create may make a vault's visible folder at `folder`: nothing
    // is there yet, or a folder that holds no visibleItems. A path that
    // cannot be listed counts as usable here (create reports why it fails).
    // The window's creation sheet asks this before the password step.
    static bool targetIsUsable(const std::filesystem::path& folder);

    Vault(std::filesystem::path dir, VaultConfig config,
          std::shared_ptr<DiskImage> driver = DiskImage::platformDefault());
    Vault(const Vault&) = delete;
    Vault& operator=(const Vault&) = delete;
    ~Vault();

    const std::filesystem::path& dir() const { return dir_; }
    // A copy of the record as last loaded or saved.
    VaultConfig config() const;
    std::filesystem::path image() const;
    std::filesystem::path configURL() const;
    // The visible folder P/N. The volume is mounted there, except for a vault
    // whose sync client cannot be told to leave P/N out: it opens at
    // outsideFolder() and P/N keeps its locked look.
    std::filesystem::path mountPoint() const;
    // Where this vault opens when P/N may not be used (OutsideFolder).
    std::filesystem::path outsideFolder() const;
    // Where the volume is mounted now (found by the image's mount, whichever
    // of the two folders it is on); mountPoint() while nothing is mounted.
    // Everything that reads or writes the decrypted files goes there.
    std::filesystem::path openFolder() const;
    std::string name() const;
    // Unlocked means mounted and served: a stale mount (its gocryptfs daemon
    // killed or crashed) is not unlocked; unlock() clears it and mounts again.
    bool isUnlocked() const;
    DiskImage::MountState mountState() const;
    // isUnlocked() of each vault, in order, asking each driver once for all
    // of its vaults (one read of the mount table instead of one per vault).
    static std::vector<bool> unlockedStates(const std::vector<std::shared_ptr<Vault>>& vaults);
    static std::vector<DiskImage::MountState> mountStates(const std::vector<std::shared_ptr<Vault>>& vaults);

    // The user's mount-mode choice for this vault on this computer
    // (automatic without a stored or readable one) and how the next unlock
    // will mount it, with what automatic found. Looks at the vault's folder
    // and its ancestors: run it on a worker.
    MountModePolicy::Choice mountModeChoice() const;
    MountModePolicy::Decision mountModeDecision() const;
    // Stores the choice (automatic removes the stored one); takes effect at
    // the next unlock. Throws VaultError::io when it cannot be stored.
    void setMountModeChoice(MountModePolicy::Choice choice);
    // Removes what this computer keeps about the vault beside its settings
    // (its choices, the record of its encrypted tree at the last lock): the
    // vault is forgotten here. Never throws.
    void forgetThisComputersRecords() const;
    const std::shared_ptr<DiskImage>& driver() const { return driver_; }

    // Returns at once when unlocked (the password is not checked); otherwise
    // frees a foreign attachment and attaches (clearing a stale mount first).
    void unlock(const std::string& password);
    // Clears a stale mount of the vault's folders, placeForMount, attach
    // in the mode of mountModeDecision(), and check that the volume is mounted.
    void attachPrepared(const std::string& password);
    // Where the next mount goes: the visible folder, made fit to be mounted
    // on (made when missing, sync clients kept out of it first), or, when an
    // exclusion of a sync client covering it cannot be written and read back
    // (or the client offers none), outsideFolder() made ready; nothing is
    // then written into the visible folder.
    std::filesystem::path placeForMount();
    // Detaches, retrying a busy volume after 0.7 s and 1.4 s; then busy(names).
    // On success the visible folder is left read-only (0o555) and an
    // outsideFolder() left empty is removed.
    void lock(bool force);
    // Detaches the image when it is attached but not on this vault's folder.
    void releaseForeignAttachment();
    // Throws wrongPassword unless password is the vault's password. For an
    // unlocked vault the password this process unlocked it with answers
    // without a tool; any other password is asked of the image.
    void confirm(const std::string& password);
    // Throws wrongPassword unless the image takes the password, asked of the
    // image itself (no mount), so it also holds for a vault another process
    // unlocked; on success this process remembers the password of an
    // unlocked vault as confirmed, so the operations that confirm it work.
    void confirmWithImage(const std::string& password);
    // The programs that keep the unlocked volume busy (files open in it,
    // working folders inside it), by name.
    std::vector<std::string> busyProcesses() const;
    // The control socket of the unlocked volume's daemon, for the conflict
    // watcher (GocryptfsConflictWatcher); nothing when the vault's driver
    // has none, so its conflict copies cannot be watched.
    std::optional<std::filesystem::path> conflictControlSocket() const;
    // Reads all the encrypted data of a locked vault (notLocked otherwise)
    // with its password and reports what is damaged; changes nothing.
    DiskImage::DataCheck checkData(const std::string& password);

    // ---- Credentials (VaultCredentials.cpp) ----
    // The record keeps the password sealed twice: to the recovery phrase's
    // key (recoveryBlobs) and, while enabled, to the biometric key
    // (touchID.blobs). Each list holds one copy, newest first; during a
    // password change two, so that whichever password the image has can
    // always be read back. Every change of the record is saved to all three
    // copies at once; inputs are checked before anything is written.

    // Unlocks with the biometric key: one prompt, then each biometric copy,
    // newest first, until one opens the image. Returns at once when unlocked.
    void unlockWithTouchID(const std::string& reason);
    // Changes the password of a locked vault (notLocked otherwise).
    void changePassword(const std::string& oldPassword, const std::string& newPassword);
    // Finds the current password with the recovery phrase, changes it to
    // newPassword when it differs, and leaves the vault unlocked.
    void recover(std::string_view phrase, const std::string& newPassword);
    // Whether the phrase parses and belongs to this vault.
    bool checkMnemonic(std::string_view phrase) const;
    // Replaces the recovery phrase; the old one stops working at once.
    Mnemonic regenerateMnemonic(const std::string& password);
    // Makes a new biometric key and seals the password to it, replacing any
    // earlier biometric configuration.
    void enableTouchID(const std::string& password);
    void disableTouchID();
    void setAutoLock(const VaultConfig::AutoLock& autoLock);

private:
    // Helpers for the operations that change the record or the lock state.
    // Replaces the record in memory, then saves it to all three copies
    // (ConfigStore::save); a save failure leaves the new record in memory.
    void replaceConfigAndSave(VaultConfig config);
    // Replaces the record in memory only.
    void replaceConfig(VaultConfig config);
    // Replaces the record and saves it; when the save fails, `kept` goes back
    // into memory and (best effort) onto the disk, then the error is thrown.
    void replaceConfigAndSaveOrRestore(const VaultConfig& updated, const VaultConfig& kept);
    void setVerifiedPassword(const std::string& password);
    void clearVerifiedPassword();
    bool verifiedPasswordEquals(std::string_view password) const;

    // The record from vault.json, else vault.json.bak, else the copy in the
    // backup directory (ConfigStore::load); that last one is named by a
    // digest of the folder's real path, which costs a read of the mount
    // table, so it is looked for only when both copies beside the image fail.
    static std::optional<VaultConfig> loadRecord(const std::filesystem::path& dir);

    // The encrypted tree's folders as this computer locked it (LockedTree),
    // in a file beside this computer's vault settings (set aside while the
    // vault is unlocked, and the start of the next record). recordLockedTree
    // after a lock (and
    // after a change this computer makes to a locked vault's image);
    // noteChangesWhileLocked before a mount: a tree that differs from the
    // record was written by something else, and the vault is mounted shared
    // from then on.
    static void recordLockedTree(const Vault& vault);
    static void noteChangesWhileLocked(const Vault& vault);

    const std::filesystem::path dir_;
    const std::shared_ptr<DiskImage> driver_;
    mutable std::mutex mutex_; // guards config_, verifiedPassword_ and outside_
    VaultConfig config_;
    std::optional<std::string> verifiedPassword_;
    // outsideFolder() for the name it was made from: finding it resolves the
    // vault's folder through the mount table, and every look at the mount
    // state asks for it.
    mutable std::optional<std::pair<std::string, std::filesystem::path>> outside_;
};

} // namespace vaultkit
