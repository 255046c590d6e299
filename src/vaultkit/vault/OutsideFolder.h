#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vaultkit {

// Where a vault is opened when its visible folder lies in a folder that a
// sync client carries and that client cannot be told to leave the folder out
// (it offers no exclusion, or the exclusion could not be written or read
// back): a folder of this user's runtime folder, which no sync client walks,
// reachable from the file manager. The visible folder keeps its locked look
// meanwhile and nothing is written into it.
//
// The place is "$XDG_RUNTIME_DIR/hushcoffer/vaults/NAME-XXXXXXXX" (without a
// usable runtime folder "/tmp/hushcoffer-UID/vaults/…"), XXXXXXXX the first
// 4 bytes of SHA-256 of the vault directory's canonical path in hex: stable
// for one vault, apart for two vaults of the same name. Each folder on the
// way is this user's own, 0700.
class OutsideFolder {
public:
    OutsideFolder() = delete;

    // The place for the vault directory `canonicalDir` named `name`.
    static std::filesystem::path of(std::string_view canonicalDir, std::string_view name);
    // The folder holding every such place.
    static std::filesystem::path base();

    // Makes the place ready to be mounted on: the folders made 0700 (one
    // left by an earlier run is reused when it is this user's, a real folder
    // and empty). Throws VaultError::io when the place lies where a sync
    // client or network drive would see it, when it or a folder above it is
    // not this user's own or not a folder, and mountPointNotEmpty when it
    // holds anything (nothing in it is ever removed).
    static void prepare(const std::filesystem::path& place);
    // Removes the place when it is an empty folder of this user with nothing
    // mounted on it (rmdir only: anything left inside stays, and so does a
    // mount point). Never throws.
    static void removeIfEmpty(const std::filesystem::path& place);

    // Pure part, public for tests: the place's own entry name, "NAME-XXXXXXXX"
    // with the name cut (at a character's start) so that it fits a file name.
    static std::string entryName(std::string_view canonicalDir, std::string_view name);
};

} // namespace vaultkit
