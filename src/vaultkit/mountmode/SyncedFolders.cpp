#include "vaultkit/mountmode/SyncedFolders.h"

#include "vaultkit/mountmode/ClientConfigs.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

using Kind = SyncedFolders::Marker::Kind;

bool isBelow(std::string_view path, std::string_view dir) {
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
    if (path.size() == dir.size()) return true;
    return dir == "/" || path[dir.size()] == '/';
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool kindFits(const fs::path& entry, Kind kind) {
    struct stat st {};
    if (::lstat(entry.c_str(), &st) != 0) return false;
    switch (kind) {
    case Kind::file: return S_ISREG(st.st_mode);
    case Kind::directory: return S_ISDIR(st.st_mode);
    case Kind::any: return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
    }
    return false;
}

std::vector<std::string> entryNames(const fs::path& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* ent = ::readdir(d)) {
        const std::string_view name = ent->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(d);
    return names;
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

std::optional<std::string> readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

// Each client's marker, as the client itself creates it in the root of every
// folder it keeps in sync.
const std::vector<SyncedFolders::Marker>& SyncedFolders::markers() {
    static const std::vector<Marker> table = {
        // The Dropbox client's folder: a ".dropbox" file and its cache folder.
        {"Dropbox", ".dropbox", Kind::file, {}},
        {"Dropbox", ".dropbox.cache", Kind::directory, {}},
        // The Nextcloud and ownCloud desktop clients keep their sync journal
        // (an SQLite file named after the account and folder) in the root:
        // "._sync_<hash>.db" since Nextcloud 3.x, ".sync_<hash>.db" before.
        {"Nextcloud or ownCloud", "._sync_*.db", Kind::file, {}},
        {"Nextcloud or ownCloud", ".sync_*.db", Kind::file, {}},
        {"ownCloud", ".owncloudsync.log", Kind::file, {}},
        // Syncthing's folder marker (a folder since 1.x, a file before).
        {"Syncthing", ".stfolder", Kind::any, {}},
        // The Seafile client keeps its data in ".seafile-data" beside the
        // libraries it syncs (by default ~/Seafile/.seafile-data).
        {"Seafile", ".seafile-data", Kind::directory, {}},
        // Resilio Sync: the ".sync" folder of each synced folder, holding the
        // folder's ID and IgnoreList ("".sync" alone is too common a name).
        {"Resilio Sync", ".sync", Kind::directory, "IgnoreList"},
        {"Resilio Sync", ".sync", Kind::directory, "ID"},
        // MEGA's desktop app: the local rubbish folder of every sync, and the
        // ignore file of newer versions.
        {"MEGA", ".debris", Kind::directory, {}},
        {"MEGA", ".megaignore", Kind::file, {}},
        // Insync: the trash folder of its base folders.
        {"Insync", ".insync-trash", Kind::directory, {}},
    };
    return table;
}

// Network and cloud file systems: anyone with access to the other side may
// change the files.
const std::vector<SyncedFolders::MountKind>& SyncedFolders::mountKinds() {
    static const std::vector<MountKind> table = {
        {"nfs", "network file system (NFS)"},
        {"nfs4", "network file system (NFS)"},
        {"cifs", "network file system (SMB)"},
        {"smb3", "network file system (SMB)"},
        {"smbfs", "network file system (SMB)"},
        {"9p", "shared folder of a virtual machine"},
        {"virtiofs", "shared folder of a virtual machine"},
        {"vboxsf", "shared folder of a virtual machine"},
        {"ceph", "network file system (Ceph)"},
        {"afs", "network file system (AFS)"},
        {"davfs", "WebDAV drive"},
        {"fuse.davfs2", "WebDAV drive"},
        {"fuse.sshfs", "SSH drive (sshfs)"},
        {"fuse.rclone", "cloud drive (rclone)"},
        {"fuse.gvfsd-fuse", "network or cloud drive of the desktop (gvfs)"},
        {"fuse.s3fs", "cloud drive (s3fs)"},
        {"fuse.glusterfs", "network file system (GlusterFS)"},
        {"fuse.google-drive-ocamlfuse", "Google Drive"},
        {"fuse.onedriver", "OneDrive"},
        {"fuse.seadrive", "Seafile"},
        // pCloud Drive: the client's own FUSE file system, named "pCloud.fs"
        // (pCloud keeps its state in ~/.pcloud, no marker of a synced folder).
        {"fuse", "pCloud", "pCloud.fs"},
        {"fuse.pcloud.fs", "pCloud"},
        {"fuse.pcloud", "pCloud"},
        {"fuse.mega-fuse", "MEGA"},
    };
    return table;
}

bool SyncedFolders::nameMatches(std::string_view pattern, std::string_view name) {
    const auto star = pattern.find('*');
    if (star == std::string_view::npos) return pattern == name;
    const auto prefix = pattern.substr(0, star);
    const auto suffix = pattern.substr(star + 1);
    return name.size() > prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
           name.substr(name.size() - suffix.size()) == suffix;
}

std::optional<MountEntry> SyncedFolders::mountHolding(std::string_view path, const std::vector<MountEntry>& table) {
    const MountEntry* best = nullptr;
    for (const auto& e : table)
        if (isBelow(path, e.mountPoint) && (!best || e.mountPoint.size() >= best->mountPoint.size())) best = &e;
    if (!best) return std::nullopt;
    return *best;
}

fs::path SyncedFolders::oneDriveSyncDir(std::string_view config, const fs::path& home) {
    std::string dir = "~/OneDrive";
    std::size_t pos = 0;
    while (pos < config.size()) {
        auto end = config.find('\n', pos);
        if (end == std::string_view::npos) end = config.size();
        std::string_view line = config.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (!line.starts_with("sync_dir")) continue;
        line.remove_prefix(8);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.empty() || line.front() != '=') continue;
        const auto open = line.find('"');
        const auto close = line.rfind('"');
        if (open == std::string_view::npos || close <= open + 1) continue;
        dir = std::string(line.substr(open + 1, close - open - 1));
    }
    if (dir == "~") return home;
    if (dir.starts_with("~/")) return home / dir.substr(2);
    return fs::path(dir);
}

namespace {

// The first marker of a client among the entries of `dir`.
std::optional<SyncedFolders::Finding> markerIn(const fs::path& dir) {
    const auto names = entryNames(dir);
    for (const auto& m : SyncedFolders::markers()) {
        for (const auto& name : names) {
            if (!SyncedFolders::nameMatches(m.name, name) || !kindFits(dir / name, m.kind)) continue;
            if (!m.inside.empty() && !kindFits(dir / name / m.inside, Kind::any)) continue;
            std::string evidence = name;
            if (!m.inside.empty()) evidence += "/" + std::string(m.inside);
            return SyncedFolders::Finding{SyncedFolders::Finding::Kind::marker, std::string(m.client), dir, evidence};
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<SyncedFolders::Finding> SyncedFolders::find(const fs::path& path, const std::vector<MountEntry>& table,
                                                          const fs::path& home) {
    std::error_code ec;
    fs::path real = fs::weakly_canonical(path, ec);
    if (ec) real = fs::absolute(path, ec).lexically_normal();
    std::string text = real.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    real = text;

    // 1. The mount holding the folder.
    if (const auto mount = mountHolding(text, table)) {
        const std::string type = lower(mount->fsType);
        for (const auto& k : mountKinds()) {
            if (type == lower(k.fsType) && (k.source.empty() || lower(mount->source) == lower(k.source)))
                return Finding{Finding::Kind::mount, std::string(k.client), mount->mountPoint,
                               k.source.empty() ? mount->fsType : mount->source};
        }
        // Any other FUSE file system is a program of its own that may change
        // the files (a cloud drive this list does not know); only the
        // encrypted volumes of this app are known to be local.
        if ((type == "fuse" || type.starts_with("fuse.")) && type != "fuse.gocryptfs")
            return Finding{Finding::Kind::mount, "FUSE file system", mount->mountPoint,
                           type == "fuse" ? mount->source : mount->fsType};
    }

    // 2. A marker in the folder or one of its ancestors (the nearest wins).
    for (fs::path dir = real;; dir = dir.parent_path()) {
        if (auto found = markerIn(dir)) return found;
        if (dir == dir.parent_path() || dir.empty()) break;
    }

    // 2b. A marker one level inside (the image folder synced on its own).
    for (const auto& child : entryNames(real)) {
        const fs::path dir = real / child;
        if (!kindFits(dir, Kind::directory)) continue;
        if (auto found = markerIn(dir)) return found;
    }

    // 3. The clients' own lists of their folders: a listed folder above the
    // path or inside it.
    auto listed = [&](const std::string& client, const fs::path& file,
                      const std::vector<fs::path>& folders) -> std::optional<Finding> {
        for (const auto& f : folders) {
            const fs::path folder = fs::weakly_canonical(f, ec);
            if (ec || folder.empty()) continue;
            const std::string ft = folder.string();
            if (isBelow(text, ft) || isBelow(ft, text))
                return Finding{Finding::Kind::configuration, client, folder, file.string()};
        }
        return std::nullopt;
    };
    if (!home.empty()) {
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        const char* xdgState = std::getenv("XDG_STATE_HOME");
        const bool own = home == homeDirectory();
        const fs::path config = xdg && *xdg && own ? fs::path(xdg) : home / ".config";
        const fs::path state = xdgState && *xdgState && own ? fs::path(xdgState) : home / ".local/state";
        for (const fs::path& file : {config / "syncthing/config.xml", state / "syncthing/config.xml",
                                     home / "snap/syncthing/common/syncthing/config.xml"}) {
            if (const auto t = readText(file))
                if (auto f = listed("Syncthing", file, syncthingFolders(*t, home))) return f;
        }
        const std::pair<const char*, fs::path> accounts[] = {
            {"Nextcloud", config / "Nextcloud/nextcloud.cfg"},
            {"ownCloud", config / "ownCloud/owncloud.cfg"},
            {"Nextcloud", home / ".var/app/com.nextcloud.desktopclient.nextcloud/config/Nextcloud/nextcloud.cfg"},
        };
        for (const auto& account : accounts) {
            if (const auto t = readText(account.second))
                if (auto f = listed(account.first, account.second, ClientConfigs::accountFolders(*t))) return f;
        }
        const fs::path dropboxInfo = home / ".dropbox/info.json";
        if (const auto t = readText(dropboxInfo))
            if (auto f = listed("Dropbox", dropboxInfo, ClientConfigs::dropboxFolders(*t))) return f;
        if (auto f = listed("Seafile", home / ".ccnet/seafile.ini", ClientConfigs::seafileLibraries(home))) return f;
    }

    // The OneDrive client (its folder is named in its configuration file,
    // "~/OneDrive" by default).
    if (!home.empty()) {
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        const fs::path configDir = (xdg && *xdg && home == homeDirectory() ? fs::path(xdg) : home / ".config") / "onedrive";
        if (fs::is_directory(configDir, ec)) {
            const fs::path configFile = configDir / "config";
            const fs::path syncDir = oneDriveSyncDir(readText(configFile).value_or(""), home);
            const fs::path syncReal = fs::weakly_canonical(syncDir, ec);
            if (!ec && (isBelow(text, syncReal.string()) || isBelow(syncReal.string(), text)))
                return Finding{Finding::Kind::configuration, "OneDrive", syncReal, configFile.string()};
        }
    }
    return std::nullopt;
}

std::vector<fs::path> SyncedFolders::syncthingFolders(std::string_view xml, const fs::path& home) {
    std::vector<fs::path> out;
    // <folder id="..." label="..." path="/home/u/Sync" type="sendreceive" ...>
    std::size_t pos = 0;
    while ((pos = xml.find("<folder", pos)) != std::string_view::npos) {
        pos += 7;
        if (pos < xml.size() && xml[pos] != ' ' && xml[pos] != '\t' && xml[pos] != '\n' && xml[pos] != '\r') continue;
        const std::size_t end = xml.find('>', pos);
        if (end == std::string_view::npos) break;
        const std::string_view tag = xml.substr(pos, end - pos);
        std::size_t at = 0;
        while ((at = tag.find("path=", at)) != std::string_view::npos) {
            if (at > 0 && tag[at - 1] != ' ' && tag[at - 1] != '\t' && tag[at - 1] != '\n' && tag[at - 1] != '\r') {
                at += 5;
                continue;
            }
            at += 5;
            if (at >= tag.size() || (tag[at] != '"' && tag[at] != '\'')) break;
            const char quote = tag[at];
            const std::size_t close = tag.find(quote, at + 1);
            if (close == std::string_view::npos) break;
            std::string value;
            const std::string_view raw = tag.substr(at + 1, close - at - 1);
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] != '&') {
                    value += raw[i];
                    continue;
                }
                const std::pair<std::string_view, char> entities[] = {
                    {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
                bool done = false;
                for (const auto& entity : entities)
                    if (raw.substr(i, entity.first.size()) == entity.first) {
                        value += entity.second;
                        i += entity.first.size() - 1;
                        done = true;
                        break;
                    }
                if (!done) value += '&';
            }
            if (value == "~") value = home.string();
            else if (value.starts_with("~/")) value = (home / value.substr(2)).string();
            if (!value.empty()) out.emplace_back(value);
            break;
        }
        pos = end;
    }
    return out;
}

std::optional<SyncedFolders::Finding> SyncedFolders::find(const fs::path& path) {
    return find(path, MountTable::read(), homeDirectory());
}

} // namespace vaultkit
