#pragma once

#include "vaultkit/record/VaultConfig.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vaultkit {

// Reads and writes vault records. Every change of a record is saved to all
// three copies, in this order: vault.json, vault.json.bak (same bytes), and the
// copy in the backup directory (Vault::backupURL). Loading takes the first
// copy that reads and decodes and never repairs the others.
namespace ConfigStore {

// Encodes the record (ConfigCoding::encode; its error is thrown unchanged),
// writes vault.json, then vault.json.bak, each atomically with mode 0600. A
// failure of either throws VaultError::io with the system's text; after a
// failure of vault.json neither vault.json.bak nor the backup copy is written.
// Then, when extraBackup is given, creates its folder (missing parents too)
// and writes the copy there; failures of that last part are ignored.
void save(const VaultConfig& config, const std::filesystem::path& url,
          const std::optional<std::filesystem::path>& extraBackup);

// The record from the first candidate that both reads and decodes; nothing
// when none does. Unreadable candidates are passed over silently.
std::optional<VaultConfig> load(const std::vector<std::filesystem::path>& candidates);

// url with ".bak" added to its name (vault.json -> vault.json.bak).
std::filesystem::path backupSibling(const std::filesystem::path& url);

// Replaces the file at path with bytes so that a crash or power loss at any
// moment leaves either the old or the new content: a temporary file in the
// same folder is written, flushed to the disk, given the mode, renamed over
// the target, and the folder is flushed. The temporary file is removed on a
// failure. Throws std::system_error naming the path.
void writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode = 0600);

// Flushes what is known of `path` to the disk: the data of a file, the
// entries of a folder (so that files made, renamed or removed in it survive a
// power cut). A file system that cannot flush (EINVAL, EROFS) and a folder
// that may not be opened for reading (EACCES) have nothing more to do; any
// other failure throws std::system_error naming the path.
void syncPath(const std::filesystem::path& path);

// Flushes the folder that holds `path`, so that `path`'s own entry (a file or
// folder just made or renamed there) is on the disk. Throws like syncPath.
void syncParent(const std::filesystem::path& path);

// Creates the folder `dir` (its parent must exist) with `mode` and flushes
// its parent, so the new folder survives a power cut. Returns false when the
// folder was already there (nothing is changed then). Throws
// std::system_error.
bool makeDirectoryDurably(const std::filesystem::path& dir, mode_t mode = 0700);

// Renames `file` to "<file>.unreadable-<UTC time>" (with "-2", "-3"… when
// that name is taken) and returns the new path, so that a file the program
// cannot read is kept for recovery by hand instead of being overwritten.
// Throws std::system_error.
std::filesystem::path setAside(const std::filesystem::path& file);

// Creates `dir` and its missing parents, each new folder with mode 0700 (they
// hold copies of vault records and the list of vaults: the owner's alone),
// each flushed into its parent (makeDirectoryDurably). Folders that already
// exist are left as they are. Throws std::system_error.
void createPrivateDirectories(const std::filesystem::path& dir);

// Tests only: called at each step of writeAtomically ("written", "synced",
// "renamed", "directorySynced") with the target path, so a test can kill or
// fail the writer between the steps. Empty by default.
using StepHook = std::function<void(std::string_view step, const std::filesystem::path& target)>;
void setStepHookForTesting(StepHook hook);

} // namespace ConfigStore

} // namespace vaultkit
