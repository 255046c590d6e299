#include "vaultkit/mountmode/SyncExclusion.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/mountmode/ClientConfigs.h"
#include "vaultkit/mountmode/SyncedFolders.h"
#include "vaultkit/record/ConfigStore.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vaultkit {

namespace {

using Entry = SyncExclusion::Result::Entry;

constexpr std::string_view kWhy = "Hushcoffer: a vault's decrypted folder is never synced, only its hidden vault directory";
constexpr const char* kDropboxAttribute = "user.com.dropbox.ignored";

bool readFile(const fs::path& p, std::string& out) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

bool present(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

bool isDir(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether an entry of `dir` matches one of `patterns`, in one listing.
bool anyEntryMatches(const fs::path& dir, std::initializer_list<std::string_view> patterns) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (const auto pattern : patterns)
            if (SyncedFolders::nameMatches(pattern, name)) return true;
    }
    return false;
}

fs::path realHome() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// The configuration folder below `home`: $XDG_CONFIG_HOME when home is this
// user's own home, ~/.config otherwise (a test's home).
fs::path configHome(const fs::path& home) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg && home == realHome()) return xdg;
    return home / ".config";
}

fs::path canonicalOrSelf(const fs::path& p) {
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    if (ec) return p.lexically_normal();
    std::string s = c.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

// The real path of `folder` without looking at the folder itself: it is a
// vault's visible folder, perhaps a mount point whose daemon is stopped, and
// any look into it (stat) would wait for that daemon for as long as it stays
// stopped. Its parent is resolved; the folder itself only when it is a link
// (readlink does not enter a mount).
fs::path resolvedWithoutEntering(const fs::path& folder) {
    std::string text = folder.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    const fs::path normal = text;
    char target[1];
    if (normal == normal.root_path() || normal.filename() == ".." || !normal.has_parent_path() ||
        ::readlink(normal.c_str(), target, sizeof target) >= 0)
        return canonicalOrSelf(normal);
    return canonicalOrSelf(normal.parent_path()) / normal.filename();
}

// The pattern in force in this ignore file or one it includes (a few levels
// deep; a loop of includes ends there).
bool inForceWithIncludes(const fs::path& file, std::string_view pattern, int depth) {
    std::string text;
    if (depth > 4 || !readFile(file, text)) return false;
    if (SyncExclusion::holdsLine(text, pattern)) return true;
    for (const auto& inc : SyncExclusion::includes(text)) {
        const fs::path p = fs::path(inc).is_absolute() ? fs::path(inc) : file.parent_path() / inc;
        if (inForceWithIncludes(p, pattern, depth + 1)) return true;
    }
    return false;
}

void replaceFile(const fs::path& file, const std::string& text, const std::string& client) {
    struct stat st {};
    const mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    try {
        if (!file.parent_path().empty()) fs::create_directories(file.parent_path());
        ConfigStore::writeAtomically(file, text, mode);
    } catch (const std::exception& e) {
        throw VaultError::io("cannot keep " + client + " out of the vault (" + file.string() + "): " + e.what());
    }
}

// A line-per-pattern ignore file: `pattern` added below a comment line of
// ours unless the file holds it already; read back afterwards.
void ensureLine(Entry& entry, std::string_view pattern, std::string_view commentMark, bool write,
                bool followIncludes) {
    auto holds = [&] {
        if (followIncludes) return inForceWithIncludes(entry.file, pattern, 0);
        std::string text;
        return readFile(entry.file, text) && SyncExclusion::holdsLine(text, pattern);
    };
    entry.inForce = holds();
    if (entry.inForce || !write) return;
    std::string text;
    if (present(entry.file) && !readFile(entry.file, text))
        throw VaultError::io("cannot read " + entry.file.string() + " to keep " + entry.client + " out of the vault");
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += std::string(commentMark) + ' ' + std::string(kWhy) + '\n' + std::string(pattern) + '\n';
    replaceFile(entry.file, text, entry.client);
    entry.written = true;
    entry.inForce = holds();
    if (!entry.inForce)
        throw VaultError::io("the exclusion for " + entry.client + " did not read back from " + entry.file.string());
}

std::string relativeText(const fs::path& folder, const fs::path& root) {
    return folder.lexically_relative(root).generic_string();
}

void dropbox(Entry& entry, const fs::path& folder, bool write) {
    char value[8] = {};
    auto readBack = [&] {
        const ssize_t n = ::getxattr(folder.c_str(), kDropboxAttribute, value, sizeof value);
        return n == 1 && value[0] == '1';
    };
    if (!isDir(folder)) {
        entry.note = "pending";
        return;
    }
    entry.inForce = readBack();
    if (entry.inForce || !write) return;
    int rc = ::setxattr(folder.c_str(), kDropboxAttribute, "1", 1, 0);
    struct stat st {};
    if (rc != 0 && errno == EACCES && ::stat(folder.c_str(), &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & S_IWUSR) == 0) {
        // A locked vault's folder is read-only, and an attribute is written
        // with the folder's write permission: lent for the call.
        if (::chmod(folder.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0) {
            rc = ::setxattr(folder.c_str(), kDropboxAttribute, "1", 1, 0);
            const int saved = errno;
            ::chmod(folder.c_str(), st.st_mode & 07777);
            errno = saved;
        }
    }
    if (rc != 0)
        throw VaultError::io("cannot keep Dropbox out of the vault: the attribute " + std::string(kDropboxAttribute) +
                             " cannot be set on " + folder.string() + ": " + std::strerror(errno));
    entry.written = true;
    entry.inForce = readBack();
    if (!entry.inForce)
        throw VaultError::io("the attribute " + std::string(kDropboxAttribute) + " did not read back from " +
                             folder.string());
}

void oneDrive(Entry& entry, const std::string& pattern, bool write) {
    std::string text;
    const bool readable = readFile(entry.file, text);
    entry.inForce = readable && SyncExclusion::oneDriveSkips(text, pattern);
    if (entry.inForce || !write) return;
    if (present(entry.file) && !readable)
        throw VaultError::io("cannot read " + entry.file.string() + " to keep OneDrive out of the vault");
    replaceFile(entry.file, SyncExclusion::withOneDriveSkipDir(text, pattern), entry.client);
    entry.written = true;
    entry.inForce = readFile(entry.file, text) && SyncExclusion::oneDriveSkips(text, pattern);
    if (!entry.inForce)
        throw VaultError::io("the exclusion for OneDrive did not read back from " + entry.file.string());
    entry.note = "resync";
}

struct AccountClient {
    const char* client;
    const char* folder; // below the configuration folder
    const char* cfg;
};
constexpr AccountClient kAccountClients[] = {
    {"Nextcloud", "Nextcloud", "nextcloud.cfg"},
    {"ownCloud", "ownCloud", "owncloud.cfg"},
};

SyncExclusion::Result run(const fs::path& visibleFolder, const fs::path& homeIn, bool write) {
    SyncExclusion::Result result;
    const fs::path home = homeIn.empty() ? realHome() : homeIn;
    // Compare against canonical paths (clients store them resolved), but
    // write patterns below the root as the folder is named.
    const fs::path folder = resolvedWithoutEntering(visibleFolder);

    // What the clients' own configuration lists.
    std::vector<fs::path> dropboxRoots;
    if (!home.empty()) {
        std::string text;
        if (readFile(home / ".dropbox" / "info.json", text))
            for (const auto& p : ClientConfigs::dropboxFolders(text))
                dropboxRoots.push_back(canonicalOrSelf(p));
    }
    struct Account {
        const AccountClient* client;
        fs::path configDir;
        std::vector<fs::path> roots;
    };
    std::vector<Account> accounts;
    const fs::path config = home.empty() ? fs::path() : configHome(home);
    std::vector<std::pair<const AccountClient*, fs::path>> accountDirs;
    if (!config.empty())
        for (const auto& c : kAccountClients)
            accountDirs.emplace_back(&c, config / c.folder);
    // The Nextcloud client installed as a Flatpak keeps its own folder.
    if (!home.empty())
        accountDirs.emplace_back(&kAccountClients[0],
                                 home / ".var/app/com.nextcloud.desktopclient.nextcloud/config/Nextcloud");
    {
        for (const auto& [client, dir] : accountDirs) {
            const AccountClient& c = *client;
            if (!isDir(dir)) continue;
            Account a{&c, dir, {}};
            std::string text;
            if (readFile(dir / c.cfg, text))
                for (const auto& p : ClientConfigs::accountFolders(text))
                    a.roots.push_back(canonicalOrSelf(p));
            accounts.push_back(std::move(a));
        }
    }
    std::vector<fs::path> seafileRoots;
    for (const auto& p : ClientConfigs::seafileLibraries(home))
        seafileRoots.push_back(canonicalOrSelf(p));
    fs::path oneDriveRoot;
    const fs::path oneDriveConfig = config / "onedrive" / "config";
    if (!config.empty() && isDir(config / "onedrive")) {
        std::string text;
        readFile(oneDriveConfig, text);
        oneDriveRoot = canonicalOrSelf(SyncedFolders::oneDriveSyncDir(text, home));
    }

    bool dropboxDone = false;
    bool seafileDone = false;
    std::vector<const Account*> accountsDone;
    for (fs::path root = folder.parent_path(); !root.empty(); root = root.parent_path()) {
        const std::string rel = relativeText(folder, root);
        // Syncthing
        if (present(root / ".stfolder")) {
            Entry e{"Syncthing", root / ".stignore", false, false, root, {}};
            ensureLine(e, SyncExclusion::syncthingPattern(rel), "//", write, true);
            result.entries.push_back(std::move(e));
        }
        // Dropbox: one attribute on the folder serves every Dropbox root above.
        if (!dropboxDone) {
            bool covered = present(root / ".dropbox") || isDir(root / ".dropbox.cache");
            for (const auto& r : dropboxRoots)
                covered = covered || r == root;
            if (covered) {
                Entry e{"Dropbox", visibleFolder, false, false, root, {}};
                dropbox(e, visibleFolder, write);
                result.entries.push_back(std::move(e));
                dropboxDone = true;
            }
        }
        // Nextcloud and ownCloud: the client's own exclude list, named by
        // the accounts that list this root; with only the journal to go by,
        // every such client configured on this computer.
        {
            const bool journal =
                present(root / ".owncloudsync.log") || anyEntryMatches(root, {"._sync_*.db", ".sync_*.db"});
            std::vector<const Account*> listing;
            for (const auto& a : accounts)
                for (const auto& r : a.roots)
                    if (r == root) listing.push_back(&a);
            if (listing.empty() && journal)
                for (const auto& a : accounts)
                    listing.push_back(&a);
            if (journal && listing.empty()) {
                Entry e{"Nextcloud", config / "Nextcloud" / "sync-exclude.lst", false, false, root, "impossible"};
                result.entries.push_back(std::move(e));
                if (write)
                    throw VaultError::io("the Nextcloud or ownCloud client keeps " + root.string() +
                                         " in sync but its configuration folder was not found below " +
                                         config.string() + ", so the vault's folder cannot be excluded");
            }
            for (const Account* a : listing) {
                if (std::find(accountsDone.begin(), accountsDone.end(), a) != accountsDone.end()) continue;
                accountsDone.push_back(a);
                Entry e{a->client->client, a->configDir / "sync-exclude.lst", false, false, root, {}};
                ensureLine(e, "/" + rel, "#", write, false);
                result.entries.push_back(std::move(e));
            }
        }
        // Seafile: a library its database names, wherever it is; the ignore
        // file is in the library's root.
        if (!seafileDone && std::find(seafileRoots.begin(), seafileRoots.end(), root) != seafileRoots.end()) {
            Entry e{"Seafile", root / "seafile-ignore.txt", false, false, root, {}};
            ensureLine(e, relativeText(folder, root) + "/", "#", write, false);
            result.entries.push_back(std::move(e));
            seafileDone = true;
        }
        // Seafile: the libraries sit beside .seafile-data; the ignore file is
        // in the library's root.
        if (!seafileDone && isDir(root / ".seafile-data")) {
            const fs::path relPath(rel);
            const auto first = relPath.begin();
            if (first != relPath.end() && relPath != *first) {
                const fs::path library = root / *first;
                Entry e{"Seafile", library / "seafile-ignore.txt", false, false, library, {}};
                ensureLine(e, relativeText(folder, library) + "/", "#", write, false);
                result.entries.push_back(std::move(e));
                seafileDone = true;
            }
        }
        // OneDrive client for Linux
        if (!oneDriveRoot.empty() && oneDriveRoot == root) {
            Entry e{"OneDrive", oneDriveConfig, false, false, root, {}};
            oneDrive(e, rel, write);
            result.entries.push_back(std::move(e));
        }
        // Resilio Sync
        if (isDir(root / ".sync") && (present(root / ".sync" / "ID") || present(root / ".sync" / "IgnoreList"))) {
            Entry e{"Resilio Sync", root / ".sync" / "IgnoreList", false, false, root, {}};
            ensureLine(e, "/" + rel, "#", write, false);
            result.entries.push_back(std::move(e));
        }
        // MEGA
        if (isDir(root / ".debris") || present(root / ".megaignore")) {
            Entry e{"MEGA", root / ".megaignore", false, false, root, {}};
            ensureLine(e, "-p:" + rel, "#", write, false);
            result.entries.push_back(std::move(e));
        }
        // Insync: no exclusion a program may write.
        if (isDir(root / ".insync-trash")) {
            result.entries.push_back(Entry{"Insync", {}, false, false, root, "impossible"});
            if (write)
                throw VaultError::io("Insync keeps " + root.string() +
                                     " in sync and offers no exclusion this app can write: the vault's folder " +
                                     folder.string() + " would be uploaded decrypted, so it is not mounted there");
        }
        if (root == root.root_path()) break;
    }
    return result;
}

} // namespace

bool SyncExclusion::Result::allInForce() const {
    for (const auto& e : entries)
        if (!e.inForce && e.note != "pending") return false;
    return true;
}

std::string SyncExclusion::syncthingPattern(const fs::path& relative) {
    std::string out = "/";
    for (const char c : relative.generic_string()) {
        if (c == '\\' || c == '*' || c == '?' || c == '[' || c == ']' || c == '{' || c == '}') out += '\\';
        out += c;
    }
    return out;
}

bool SyncExclusion::holdsLine(std::string_view text, std::string_view pattern) {
    bool found = false;
    ClientConfigs::eachLine(text, [&](std::string_view line) { found = found || ClientConfigs::trimmed(line) == pattern; });
    return found;
}

std::vector<std::string> SyncExclusion::includes(std::string_view text) {
    std::vector<std::string> out;
    ClientConfigs::eachLine(text, [&](std::string_view raw) {
        const auto line = ClientConfigs::trimmed(raw);
        if (!line.starts_with("#include")) return;
        const auto name = ClientConfigs::trimmed(line.substr(8));
        if (!name.empty()) out.emplace_back(name);
    });
    return out;
}

namespace {

// A skip_dir line: where its quoted value starts and ends (nothing for any
// other line, a commented one included).
bool skipDirValue(std::string_view line, size_t& open, size_t& close) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (line.substr(i, 8) != "skip_dir") return false;
    i += 8;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i >= line.size() || line[i] != '=') return false;
    open = line.find('"', i);
    close = line.rfind('"');
    return open != std::string_view::npos && close != std::string_view::npos && close > open;
}

} // namespace

bool SyncExclusion::oneDriveSkips(std::string_view config, std::string_view pattern) {
    bool found = false;
    ClientConfigs::eachLine(config, [&](std::string_view line) {
        size_t open = 0, close = 0;
        if (!skipDirValue(line, open, close)) return;
        std::string_view value = line.substr(open + 1, close - open - 1);
        size_t pos = 0;
        while (pos <= value.size()) {
            size_t bar = value.find('|', pos);
            if (bar == std::string_view::npos) bar = value.size();
            if (ClientConfigs::trimmed(value.substr(pos, bar - pos)) == pattern) found = true;
            pos = bar + 1;
        }
    });
    return found;
}

std::string SyncExclusion::withOneDriveSkipDir(std::string_view config, std::string_view pattern) {
    if (oneDriveSkips(config, pattern)) return std::string(config);
    std::string out;
    bool added = false;
    ClientConfigs::eachLine(config, [&](std::string_view line) {
        size_t open = 0, close = 0;
        if (!added && skipDirValue(line, open, close)) {
            const std::string_view value = line.substr(open + 1, close - open - 1);
            out += std::string(line.substr(0, close));
            if (!ClientConfigs::trimmed(value).empty()) out += '|';
            out += std::string(pattern);
            out += std::string(line.substr(close));
            added = true;
        } else {
            out += std::string(line);
        }
        out += '\n';
    });
    if (!added) out += "# " + std::string(kWhy) + "\nskip_dir = \"" + std::string(pattern) + "\"\n";
    return out;
}

std::vector<SyncExclusion::Line> SyncExclusion::explain(const Result& result) {
    std::vector<Line> out;
    for (const auto& e : result.entries) {
        const std::vector<std::string> args{e.client, e.root.string(), e.file.string()};
        if (e.note == "impossible")
            out.push_back({"sync.cannotExclude", {e.client, e.root.string()}});
        else if (e.note == "pending")
            out.push_back({"sync.pending", {e.client, e.root.string()}});
        else if (e.inForce)
            out.push_back({"sync.excluded", args});
        else
            out.push_back({"sync.notExcluded", {e.client, e.root.string()}});
        if (e.client == "OneDrive" && e.inForce) out.push_back({"sync.resync", {}});
    }
    return out;
}

SyncExclusion::Line SyncExclusion::elsewhere(const Result& result, const fs::path& place) {
    for (const auto& e : result.entries)
        if (!e.inForce && e.note != "pending") return {"unlock.elsewhere", {place.string(), e.client, e.root.string()}};
    return {"unlock.elsewhereAt", {place.string()}};
}

SyncExclusion::Result SyncExclusion::apply(const fs::path& visibleFolder, const fs::path& home) {
    return run(visibleFolder, home, true);
}

SyncExclusion::Result SyncExclusion::inspect(const fs::path& visibleFolder, const fs::path& home) {
    try {
        return run(visibleFolder, home, false);
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace vaultkit
