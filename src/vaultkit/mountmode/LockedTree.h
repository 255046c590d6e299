#pragma once

#include <filesystem>
#include <string>

namespace vaultkit {

// What a locked vault's encrypted tree looked like when this computer locked
// it, to tell at the next unlock whether something else wrote it meanwhile
// (a sync client that leaves no trace, another computer on a shared drive).
// Only folders are looked at: each folder's path, modification time and entry
// names, so the walk costs one listing a folder and no file is opened. An
// entry added, removed or renamed (how sync clients put a new version in
// place) changes the digest; a file rewritten in place under the same name
// does not.
class LockedTree {
public:
    // A hex SHA-256 over the tree below `imageDir`; empty when the folder
    // cannot be read (nothing is then known).
    static std::string digest(const std::filesystem::path& imageDir);
};

} // namespace vaultkit
