#pragma once

#include "vaultkit/diskimage/DiskImage.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

namespace vaultkit {

class Vault;

// The vault a path the user picked names (in the window's file chooser, as a
// VAULT argument of the command-line tool): the vault directory itself, its
// visible folder, or anything inside the vault directory.
class VaultLocator {
public:
    VaultLocator() = delete;

    // No candidate is a vault directory that exists.
    struct NotAVault : std::exception {
        const char* what() const noexcept override { return "not a vault"; }
    };

    // The candidate vault directories of `picked`, in order: the path itself,
    // its parent folder, and the sibling "." + its name + ".hushcoffer"; only
    // those whose name is a vault directory name. The path is standardized
    // first (no trailing slash, no "." or ".." steps).
    static std::vector<std::filesystem::path> candidates(const std::filesystem::path& picked);

    // The first candidate that opens. Throws the open error (VaultError) of
    // the first candidate that is a folder but does not open (a damaged or
    // missing record: its own error, not "not a vault"), else NotAVault.
    static std::shared_ptr<Vault> open(const std::filesystem::path& picked,
                                       std::shared_ptr<DiskImage> driver = DiskImage::platformDefault());
};

} // namespace vaultkit
