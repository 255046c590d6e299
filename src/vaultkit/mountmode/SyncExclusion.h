#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// Keeps sync clients out of a vault's visible folder. A sync client walks
// into a mount point like into any folder, so an unlocked vault inside a
// synced folder would be uploaded decrypted; only the hidden vault directory
// (ciphertext) may travel. Each computer writes the exclusion for itself,
// with the client's own mechanism, before the folder is made or mounted.
//
// Syncthing: a line "/<path of the visible folder below the folder root>" in
// the .stignore of every Syncthing folder root above the visible folder (the
// folder holding ".stfolder"). The user's lines stay as they are; a pattern
// already in force there (in .stignore or a file it #includes) is not added
// again. The file is replaced atomically and flushed.
class SyncExclusion {
public:
    struct Result {
        // "Syncthing" with the .stignore that excludes the folder, one per root.
        struct Entry {
            std::string client;
            std::filesystem::path file;
            bool written = false; // false: the pattern was already in force
        };
        std::vector<Entry> entries;
    };

    // Excludes `visibleFolder` (absolute; it need not exist yet) from every
    // Syncthing folder above it. Throws VaultError::io naming the file when an
    // exclusion cannot be written: the caller must not mount then.
    static Result apply(const std::filesystem::path& visibleFolder);

    // Pure parts, public for tests.
    // The anchored pattern for `relative` (a path below the folder root),
    // with Syncthing's special characters escaped.
    static std::string syncthingPattern(const std::filesystem::path& relative);
    // Whether the text of an ignore file holds `pattern` as a line of its own.
    static bool holdsLine(std::string_view text, std::string_view pattern);
    // The files named by "#include" lines of an ignore file's text.
    static std::vector<std::string> includes(std::string_view text);
};

} // namespace vaultkit
