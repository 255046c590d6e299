#pragma once

#include "vaultkit/diskimage/MountTable.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// Whether a folder lies where another program may change its files behind
// our back: inside the folder of a sync client, or on a network or cloud
// file system. A vault there must be mounted so that gocryptfs sees such
// changes at once (shared mode); everywhere else the faster local mode is
// safe.
//
// Three ways to tell, asked in this order:
//  1. The mount that holds the folder, from the mount table alone (nothing on
//     it is looked at): network file systems and the FUSE file systems of
//     cloud clients.
//  2. The marker a sync client leaves in the root of each folder it keeps in
//     sync, looked for in the folder and each of its ancestors.
//     Also looked for one level inside the folder (a client may sync the
//     vault directory's image folder alone).
//  3. The clients' own lists of the folders they sync (Syncthing's
//     config.xml, the Nextcloud and ownCloud clients' account folders,
//     Dropbox's info.json, the OneDrive client's sync_dir): a listed folder
//     that holds the path or lies inside it.
class SyncedFolders {
public:
    // What a client leaves in the root of a folder it syncs. `name` is an
    // entry name, or a pattern of the form "prefix*suffix" (one "*").
    struct Marker {
        enum class Kind { file, directory, any };
        std::string_view client;
        std::string_view name;
        Kind kind;
        // A further entry that must be inside a directory marker (empty: none).
        std::string_view inside;
    };
    // A file-system type of the mount table and who stands behind it.
    struct MountKind {
        std::string_view fsType;  // matched case-insensitively
        std::string_view client;  // as shown to the user
        // When not empty, the mount's source must be this too (a FUSE file
        // system that names itself only in its source).
        std::string_view source = {};
    };

    struct Finding {
        // configuration: a client's own list of its folders names it;
        // changes: its encrypted files changed while it was locked here.
        enum class Kind { mount, marker, configuration, changes };
        Kind kind = Kind::marker;
        std::string client;            // "Dropbox", "Syncthing", "network file system (nfs4)"
        std::filesystem::path root;    // the synced folder or the mount point
        std::string evidence;          // the marker's name, the mount type (or source) or the configuration file
        friend bool operator==(const Finding&, const Finding&) = default;
    };

    static const std::vector<Marker>& markers();
    static const std::vector<MountKind>& mountKinds();

    // The synced folder or network mount holding `path` (an absolute path;
    // links are resolved first when it exists), judged against `table` and
    // the configuration below `home`; nothing when the folder is local.
    static std::optional<Finding> find(const std::filesystem::path& path, const std::vector<MountEntry>& table,
                                       const std::filesystem::path& home);
    // find() with the mount table of this process and $HOME.
    static std::optional<Finding> find(const std::filesystem::path& path);

    // Pure parts, public for tests.
    // The mount in `table` that holds `path` (the longest mount point above it).
    static std::optional<MountEntry> mountHolding(std::string_view path, const std::vector<MountEntry>& table);
    // Whether an entry name fits a marker name or pattern.
    static bool nameMatches(std::string_view pattern, std::string_view name);
    // The folder named by "sync_dir" in the text of the OneDrive client's
    // configuration file ("~/" is `home`); its default "~/OneDrive" when the
    // line is missing or commented out.
    static std::filesystem::path oneDriveSyncDir(std::string_view config, const std::filesystem::path& home);
    // The folder paths of the text of Syncthing's config.xml ("~/" is `home`).
    static std::vector<std::filesystem::path> syncthingFolders(std::string_view configXml,
                                                               const std::filesystem::path& home);
};

} // namespace vaultkit
