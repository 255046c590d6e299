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
// What is written, per client covering the folder (R: the synced folder's
// root, REL: the visible folder's path below R):
//  - Syncthing (R holds ".stfolder"): "/REL" in R/.stignore (its #include
//    files are read for a line already in force).
//  - Dropbox (R holds ".dropbox" or ".dropbox.cache", or R is a folder of
//    ~/.dropbox/info.json): the attribute user.com.dropbox.ignored = "1" on
//    the visible folder itself. Set on the folder before it is mounted and
//    again through the mount (the client then reads the volume root's).
//  - Nextcloud, ownCloud (R holds the client's sync journal, or R is a
//    localPath of nextcloud.cfg / owncloud.cfg): "/REL" in the client's own
//    sync-exclude.lst in its configuration folder. That file stays on this
//    computer (the per-folder .sync-exclude.lst would travel to the others).
//  - Seafile (R holds ".seafile-data"; the library is R's child on the path,
//    L, and REL is below L): "REL/" in L/seafile-ignore.txt.
//  - OneDrive client for Linux (R is the sync_dir of its config): "REL"
//    added to skip_dir in the config (to the first skip_dir line, with "|",
//    so that clients reading one line only keep the user's patterns). The
//    client then refuses to sync until it is run once with --resync.
//  - Resilio Sync (R holds ".sync" with ID or IgnoreList): "/REL" in
//    R/.sync/IgnoreList.
//  - MEGA (R holds ".debris" or ".megaignore"): "-p:REL" in R/.megaignore.
//  - Insync (R holds ".insync-trash"): no file a program may write; such a
//    folder cannot be excluded and the vault must not be mounted there.
//
// The user's lines stay as they are; a line already in force is not added
// again. Files are replaced atomically and flushed, with their old modes.
class SyncExclusion {
public:
    struct Result {
        struct Entry {
            std::string client;          // "Syncthing", "Dropbox", "Nextcloud", ...
            std::filesystem::path file;  // the file holding the exclusion (Dropbox: the visible folder)
            bool written = false;        // written by this call
            bool inForce = false;        // the exclusion is there now (read back)
            std::filesystem::path root;  // the synced folder
            // Something the user must know: "resync" (OneDrive needs
            // `onedrive --resync` before it syncs again), "pending" (the
            // visible folder does not exist yet; the attribute is set when
            // it does), "impossible" (the client offers no exclusion).
            std::string note;
        };
        std::vector<Entry> entries;
        // Every client covering the folder has the exclusion in force.
        bool allInForce() const;
    };

    // Excludes `visibleFolder` (absolute; it need not exist yet) from every
    // sync client that covers it, configuration read below `home` (empty:
    // $HOME). Throws VaultError::io naming the file or client when an
    // exclusion cannot be written or read back: the caller must not mount.
    static Result apply(const std::filesystem::path& visibleFolder, const std::filesystem::path& home = {});
    // Which clients cover `visibleFolder` and whether each excludes it, read
    // only (nothing is written, nothing thrown).
    static Result inspect(const std::filesystem::path& visibleFolder, const std::filesystem::path& home = {});

    // How a result is told to the user, one text a client: the key of the
    // text in the application's tables ("sync.*") and its placeholders
    // (the client, its synced folder, the file holding the exclusion).
    struct Line {
        std::string key;
        std::vector<std::string> args;
        friend bool operator==(const Line&, const Line&) = default;
    };
    static std::vector<Line> explain(const Result& result);
    // Why a vault whose visible folder `result` was read for is open at
    // `place` instead ("unlock.elsewhere": the place, the first client that
    // does not leave the folder out, its synced folder; "unlock.elsewhereAt":
    // the place alone when no such client is known).
    static Line elsewhere(const Result& result, const std::filesystem::path& place);

    // Pure parts, public for tests.
    // The anchored pattern for `relative` (a path below the folder root),
    // with Syncthing's special characters escaped.
    static std::string syncthingPattern(const std::filesystem::path& relative);
    // Whether the text of an ignore file holds `pattern` as a line of its own.
    static bool holdsLine(std::string_view text, std::string_view pattern);
    // The files named by "#include" lines of an ignore file's text.
    static std::vector<std::string> includes(std::string_view text);
    // The OneDrive client's configuration text with `pattern` in skip_dir
    // (unchanged when it is there already).
    static std::string withOneDriveSkipDir(std::string_view config, std::string_view pattern);
    // Whether the configuration's skip_dir lines hold `pattern`.
    static bool oneDriveSkips(std::string_view config, std::string_view pattern);
};

} // namespace vaultkit
