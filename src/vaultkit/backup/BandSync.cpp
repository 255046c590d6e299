#include "vaultkit/backup/BandSync.h"

#include "vaultkit/backup/LocalFolderStore.h"
#include "vaultkit/backup/StoreLease.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/ConfigStore.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace vaultkit {

namespace fs = std::filesystem;
using Entry = SnapshotManifest::Entry;
using Type = SnapshotManifest::Type;

namespace {

constexpr const char* kImageFolder = "data.gocryptfs";
// The record copies and the note beside the image, in the order a snapshot
// lists them.
constexpr const char* kRecordFiles[] = {"vault.json", "vault.json.bak", "README.txt"};
// Files whose versions must agree with each other: the image's configuration
// (its wrapped key) and the records that seal its password. A push that sees
// one of them change starts again.
constexpr const char* kLinkedFiles[] = {"vault.json", "vault.json.bak", "data.gocryptfs/gocryptfs.conf"};

std::string bandKey(const std::string& hash) {
    return "bands/" + hash.substr(0, 2) + "/" + hash;
}
std::string manifestKey(const std::string& id) {
    return "snapshots/" + id + ".json";
}

bool isHash(std::string_view s) {
    if (s.size() != 64) return false;
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string sha256Hex(const char* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1 || length != 32)
        throw VaultError::io("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out(64, '0');
    for (unsigned i = 0; i < 32; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    return out;
}

[[noreturn]] void failErrno(const std::string& what, const fs::path& path, int err) {
    throw VaultError::io(what + " " + path.string() + ": " + std::strerror(err));
}

std::int64_t nsOf(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
timespec timespecOf(std::int64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    if (t.tv_nsec < 0) {
        t.tv_nsec += 1000000000;
        t.tv_sec -= 1;
    }
    return t;
}

// What says that a file is the same as before: a write changes the size or
// the times, a replacement the inode.
bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           nsOf(a.st_mtim) == nsOf(b.st_mtim) && nsOf(a.st_ctim) == nsOf(b.st_ctim);
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Reads up to `size` bytes (fewer only at the end of the file).
std::size_t readFull(int fd, char* buffer, std::size_t size, const fs::path& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            failErrno("cannot read", path, errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void writeFull(int fd, const char* data, std::size_t size, const fs::path& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            failErrno("cannot write", path, errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

struct Fd {
    int fd = -1;
    explicit Fd(int f)
        : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// One entry of the vault directory found by the walk.
struct Found {
    std::string rel;
    struct stat st {};
};

void walk(const fs::path& root, const std::string& rel, std::vector<Found>& out) {
    const fs::path dir = root / rel;
    DIR* d = ::opendir(dir.c_str());
    if (!d) failErrno("cannot list", dir, errno);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int err = errno;
    ::closedir(d);
    if (err) failErrno("cannot list", dir, err);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        Found f;
        f.rel = rel + "/" + name;
        if (::lstat((root / f.rel).c_str(), &f.st) != 0) {
            if (errno == ENOENT) continue; // removed meanwhile
            failErrno("cannot look at", root / f.rel, errno);
        }
        const bool isDir = S_ISDIR(f.st.st_mode);
        const std::string child = f.rel; // `out` grows below: no reference into it
        out.push_back(std::move(f));
        if (isDir) walk(root, child, out);
    }
}

// Raised inside a push when the image's configuration or a record changed
// between its read and the end of the push.
struct LinkedFileChanged {};

std::string joinShort(const std::vector<std::string>& items, std::size_t most = 5) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < most; ++i)
        text += (i ? ", " : "") + items[i];
    if (items.size() > most) text += " and " + std::to_string(items.size() - most) + " more";
    return text;
}

bool validName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool isEmptyFolder(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec) && fs::is_empty(p, ec) && !ec;
}

} // namespace

BandSync::BandSync(SyncStore& store)
    : store_(store) {}

void BandSync::requireStore(bool createIfEmpty) {
    if (const auto marker = store_.get(markerKey)) {
        const auto j = nlohmann::json::parse(*marker, nullptr, false);
        if (!j.is_object() || !j.contains("format") || !j["format"].is_number_integer())
            throw VaultError::integrity(std::string(markerKey) + " of " + store_.describe() +
                                        " does not read");
        if (j["format"].get<int>() != SnapshotManifest::format)
            throw VaultError::io(store_.describe() + " was written by another version of Hushcoffer");
        return;
    }
    if (!createIfEmpty) throw VaultError::io(store_.describe() + " is not a Hushcoffer backup store");
    if (!store_.list("").empty())
        throw VaultError::io(store_.describe() + " holds other files: not a Hushcoffer backup store");
    const nlohmann::json j{{"format", SnapshotManifest::format}, {"bandBytes", SnapshotManifest::bandBytes}};
    store_.put(markerKey, j.dump(2) + "\n");
}

std::vector<std::string> BandSync::snapshotIds() {
    std::vector<std::string> ids;
    for (const auto& key : store_.list("snapshots/")) {
        static constexpr std::string_view prefix = "snapshots/", suffix = ".json";
        if (key.size() <= prefix.size() + suffix.size() ||
            key.compare(key.size() - suffix.size(), suffix.size(), suffix))
            continue;
        std::string id = key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
        if (SnapshotManifest::isId(id)) ids.push_back(std::move(id));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::optional<SnapshotManifest> BandSync::loadManifest(const std::string& id) {
    if (!SnapshotManifest::isId(id)) return std::nullopt;
    const auto bytes = store_.get(manifestKey(id));
    if (!bytes) return std::nullopt;
    SnapshotManifest m;
    try {
        m = SnapshotManifest::decode(*bytes);
    } catch (const std::exception& e) {
        throw VaultError::integrity("snapshot " + id + ": " + e.what());
    }
    if (m.id != id) throw VaultError::integrity("snapshot " + id + ": the manifest is that of " + m.id);
    return m;
}

// ---- push ----

BandSync::PushResult BandSync::push(const fs::path& vaultDir, const PushOptions& options) {
    const fs::path image = vaultDir / kImageFolder;
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw VaultError::io(vaultDir.string() + " is not a vault directory (it has no " + kImageFolder +
                             ")");
    if (auto* local = dynamic_cast<LocalFolderStore*>(&store_)) {
        std::error_code ec;
        const fs::path store = fs::weakly_canonical(local->root(), ec);
        const fs::path vault = fs::weakly_canonical(vaultDir, ec);
        const auto rel = store.lexically_relative(vault);
        if (!rel.empty() && *rel.begin() != "..")
            throw VaultError::io("the backup store " + store.string() +
                                 " lies inside the vault it would back up");
    }

    requireStore(true);
    StoreLease lease(store_, "push");
    for (const auto& kind : lease.othersAlive())
        if (kind == "prune")
            throw VaultError::io(store_.describe() + " is being pruned; push again when the prune has ended");

    // The bands the store has: one listing instead of a question per band.
    std::unordered_set<std::string> stored;
    for (const auto& key : store_.list("bands/")) {
        const std::string name = key.substr(key.rfind('/') + 1);
        if (isHash(name) && key == bandKey(name)) stored.insert(name);
    }

    std::string vaultId, vaultName = vaultDir.filename().string();
    if (const auto config = ConfigStore::load({vaultDir / "vault.json", vaultDir / "vault.json.bak"})) {
        vaultId = config->id.text();
        vaultName = config->name;
    }

    // The newest earlier snapshot of this vault: files unchanged since then
    // keep its bands without being read.
    std::optional<SnapshotManifest> previous;
    if (!options.rereadAll && !vaultId.empty()) {
        const auto ids = snapshotIds();
        int looked = 0;
        for (auto it = ids.rbegin(); it != ids.rend() && looked < 100; ++it, ++looked) {
            try {
                auto m = loadManifest(*it);
                if (m && m->vaultId == vaultId) {
                    previous = std::move(m);
                    break;
                }
            } catch (const VaultError&) {
                // A damaged manifest is check's business; it just gives no help here.
            }
        }
    }
    std::unordered_map<std::string, const Entry*> before;
    if (previous)
        for (const auto& e : previous->entries)
            if (e.type == Type::file) before.emplace(e.path, &e);

    std::string buffer(SnapshotManifest::bandBytes, '\0');
    PushResult result;
    PushProgress progress;
    const int attempts = std::max(1, options.attempts);

    for (int round = 0;; ++round) {
        std::vector<Found> found;
        for (const char* name : kRecordFiles) {
            Found f;
            f.rel = name;
            if (::lstat((vaultDir / name).c_str(), &f.st) == 0 && S_ISREG(f.st.st_mode)) found.push_back(f);
        }
        {
            Found f;
            f.rel = kImageFolder;
            if (::lstat(image.c_str(), &f.st) != 0) failErrno("cannot look at", image, errno);
            found.push_back(f);
            walk(vaultDir, kImageFolder, found);
        }
        progress = {};
        for (const auto& f : found)
            if (S_ISREG(f.st.st_mode)) {
                ++progress.filesTotal;
                progress.bytesTotal += static_cast<std::uint64_t>(f.st.st_size);
            }
        result = {};

        SnapshotManifest m;
        m.timeMs = options.timeMs.value_or(nowMs());
        m.id = SnapshotManifest::makeId(m.timeMs);
        m.time = SnapshotManifest::formatTime(m.timeMs);
        m.vaultId = vaultId;
        m.vaultName = vaultName;

        try {
            for (const auto& f : found) {
                Entry e;
                e.path = f.rel;
                e.mode = f.st.st_mode & 07777;
                e.mtimeNs = nsOf(f.st.st_mtim);
                const fs::path path = vaultDir / f.rel;
                if (S_ISDIR(f.st.st_mode)) {
                    e.type = Type::directory;
                } else if (S_ISLNK(f.st.st_mode)) {
                    e.type = Type::link;
                    std::string target(4096, '\0');
                    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
                    if (n < 0) {
                        if (errno == ENOENT) continue;
                        failErrno("cannot read the link", path, errno);
                    }
                    target.resize(static_cast<std::size_t>(n));
                    e.target = target;
                    if (e.target.empty()) continue;
                } else if (S_ISREG(f.st.st_mode)) {
                    e.type = Type::file;
                    const auto was = before.find(f.rel);
                    const bool unchanged =
                        was != before.end() &&
                        was->second->size == static_cast<std::uint64_t>(f.st.st_size) &&
                        was->second->mtimeNs == nsOf(f.st.st_mtim) &&
                        was->second->ctimeNs == nsOf(f.st.st_ctim) &&
                        was->second->inode == static_cast<std::uint64_t>(f.st.st_ino) &&
                        std::all_of(was->second->bands.begin(), was->second->bands.end(),
                                    [&](const std::string& b) { return stored.count(b) > 0; });
                    if (unchanged) {
                        e.size = was->second->size;
                        e.ctimeNs = was->second->ctimeNs;
                        e.inode = was->second->inode;
                        e.bands = was->second->bands;
                    } else {
                        bool taken = false, gone = false;
                        for (int attempt = 0; attempt < attempts && !taken && !gone; ++attempt) {
                            const std::uint64_t bytesAtStart = progress.bytesDone;
                            Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
                            if (fd.fd < 0) {
                                if (errno == ENOENT) {
                                    gone = true;
                                    break;
                                }
                                failErrno("cannot open", path, errno);
                            }
                            struct stat first {};
                            if (::fstat(fd.fd, &first) != 0) failErrno("cannot look at", path, errno);
                            if (!S_ISREG(first.st_mode)) break;
                            ::posix_fadvise(fd.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
                            std::vector<std::string> bands;
                            std::uint64_t total = 0;
                            for (;;) {
                                const std::size_t n = readFull(fd.fd, buffer.data(), buffer.size(), path);
                                if (n == 0) break;
                                total += n;
                                std::string hash = sha256Hex(buffer.data(), n);
                                if (!stored.count(hash)) {
                                    store_.put(bandKey(hash), std::string_view(buffer.data(), n));
                                    stored.insert(hash);
                                    ++progress.bandsSent;
                                    progress.bytesSent += n;
                                }
                                bands.push_back(std::move(hash));
                                progress.bytesDone += n;
                                lease.renewIfDue();
                                if (options.progress) options.progress(progress);
                                if (n < buffer.size()) break;
                            }
                            if (options.afterReadForTesting) options.afterReadForTesting(f.rel);
                            struct stat after {
                            }, now{};
                            if (::fstat(fd.fd, &after) != 0) failErrno("cannot look at", path, errno);
                            const bool still = ::lstat(path.c_str(), &now) == 0;
                            const int lstatError = still ? 0 : errno;
                            if (still && sameFile(first, after) && sameFile(first, now) &&
                                total == static_cast<std::uint64_t>(first.st_size)) {
                                e.size = total;
                                e.mtimeNs = nsOf(first.st_mtim);
                                e.ctimeNs = nsOf(first.st_ctim);
                                e.inode = static_cast<std::uint64_t>(first.st_ino);
                                e.mode = first.st_mode & 07777;
                                e.bands = std::move(bands);
                                taken = true;
                            } else {
                                progress.bytesDone = bytesAtStart;
                                if (lstatError == ENOENT) gone = true;
                            }
                        }
                        if (gone) continue;
                        if (!taken) throw VaultError::changedDuringSync();
                        ++result.filesRead;
                    }
                    ++progress.filesDone;
                    if (options.progress) options.progress(progress);
                } else {
                    result.skipped.push_back(f.rel);
                    continue;
                }
                m.entries.push_back(std::move(e));
            }

            // The image's key and the records that seal its password must be
            // of one moment: when one changed since it was read, start again
            // (what was already stored is not sent twice).
            for (const char* name : kLinkedFiles) {
                struct stat now {};
                const bool exists = ::lstat((vaultDir / name).c_str(), &now) == 0;
                const auto it = std::find_if(m.entries.begin(), m.entries.end(),
                                             [&](const Entry& e) { return e.path == name; });
                const bool had = it != m.entries.end();
                if (exists != had) throw LinkedFileChanged{};
                if (had && (it->size != static_cast<std::uint64_t>(now.st_size) ||
                            it->mtimeNs != nsOf(now.st_mtim) || it->ctimeNs != nsOf(now.st_ctim) ||
                            it->inode != static_cast<std::uint64_t>(now.st_ino)))
                    throw LinkedFileChanged{};
            }
        } catch (const LinkedFileChanged&) {
            if (round + 1 >= attempts) throw VaultError::changedDuringSync();
            continue;
        }

        for (const auto& e : m.entries)
            if (e.type == Type::file) {
                ++result.files;
                result.bytes += e.size;
                result.bands += e.bands.size();
            }
        result.bandsSent = progress.bandsSent;
        result.bytesSent = progress.bytesSent;
        // The manifest last: a snapshot is listed only once all it names is stored.
        store_.put(manifestKey(m.id), m.encode());
        result.snapshot = m.id;
        return result;
    }
}

// ---- list ----

std::vector<BandSync::SnapshotInfo> BandSync::list() {
    requireStore(false);
    std::vector<SnapshotInfo> out;
    for (const auto& id : snapshotIds()) {
        SnapshotInfo info;
        info.id = id;
        try {
            const auto m = loadManifest(id);
            if (!m) continue; // removed meanwhile
            info.time = m->time;
            info.vaultId = m->vaultId;
            info.vaultName = m->vaultName;
            for (const auto& e : m->entries)
                if (e.type == Type::file) {
                    ++info.files;
                    info.bytes += e.size;
                    info.bands += e.bands.size();
                }
        } catch (const VaultError& e) {
            if (e.kind() != VaultError::Case::integrity) throw;
            info.readable = false;
            info.problem = e.payload().empty() ? std::string(e.what()) : e.payload().front();
            info.time = SnapshotManifest::formatTime(SnapshotManifest::timeOfId(id).value_or(0));
        }
        out.push_back(std::move(info));
    }
    return out;
}

// ---- restore ----

BandSync::RestoreResult BandSync::restore(const std::string& snapshot, const fs::path& parent,
                                          const std::string& name, const RestoreOptions& options) {
    if (!validName(name)) throw VaultError::invalidName();
    requireStore(false);
    const auto manifest = loadManifest(snapshot);
    if (!manifest) throw VaultError::snapshotNotFound(snapshot);

    std::error_code ec;
    if (!fs::is_directory(parent, ec)) throw VaultError::io(parent.string() + " is not a folder");
    const fs::path target = parent / ("." + name + ".hushcoffer");
    const fs::path visible = parent / name;
    if (fs::symlink_status(target, ec).type() != fs::file_type::not_found && !isEmptyFolder(target))
        throw VaultError::alreadyExists(target.string());
    if (fs::symlink_status(visible, ec).type() != fs::file_type::not_found && !isEmptyFolder(visible))
        throw VaultError::alreadyExists(visible.string());

    // Which entries: all, or those asked for with what the vault needs to open.
    std::vector<const Entry*> chosen;
    if (options.only.empty()) {
        for (const auto& e : manifest->entries)
            chosen.push_back(&e);
    } else {
        std::set<std::string> folders{kImageFolder};
        std::vector<bool> matched(options.only.size(), false);
        auto wanted = [&](const std::string& path) {
            for (std::size_t i = 0; i < options.only.size(); ++i) {
                const std::string& p = options.only[i];
                if (path == p || path.rfind(p + "/", 0) == 0 || path == p + ".name") {
                    matched[i] = true;
                    return true;
                }
            }
            return false;
        };
        for (const auto& p : options.only)
            for (auto slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1))
                folders.insert(p.substr(0, slash));
        for (const auto& e : manifest->entries) {
            const auto slash = e.path.rfind('/');
            const std::string folder = slash == std::string::npos ? "" : e.path.substr(0, slash);
            const std::string leaf = e.path.substr(slash == std::string::npos ? 0 : slash + 1);
            bool take = wanted(e.path);
            if (take && e.type == Type::directory) folders.insert(e.path);
            take = take || slash == std::string::npos ||
                   (e.type == Type::directory && folders.count(e.path)) ||
                   e.path == "data.gocryptfs/gocryptfs.conf" ||
                   (leaf == "gocryptfs.diriv" && folders.count(folder));
            if (take) chosen.push_back(&e);
        }
        std::vector<std::string> unknown;
        for (std::size_t i = 0; i < options.only.size(); ++i)
            if (!matched[i]) unknown.push_back(options.only[i]);
        if (!unknown.empty()) throw VaultError::io("not in snapshot " + snapshot + ": " + joinShort(unknown));
    }

    std::string pattern = (parent / ("." + name + ".hushcoffer.restoring-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) failErrno("cannot make a folder in", parent, errno);
    const fs::path staging = pattern;
    struct Cleanup {
        fs::path dir;
        bool keep = false;
        ~Cleanup() {
            if (!keep) {
                std::error_code ec;
                fs::remove_all(dir, ec);
            }
        }
    } cleanup{staging};

    RestoreResult result;
    std::vector<std::string> damaged;
    std::vector<const Entry*> folders;
    for (const Entry* e : chosen) {
        const fs::path path = staging / e->path;
        switch (e->type) {
        case Type::directory:
            if (::mkdir(path.c_str(), 0700) != 0) failErrno("cannot make the folder", path, errno);
            folders.push_back(e);
            break;
        case Type::link: {
            if (::symlink(e->target.c_str(), path.c_str()) != 0)
                failErrno("cannot make the link", path, errno);
            const timespec times[2] = {timespecOf(e->mtimeNs), timespecOf(e->mtimeNs)};
            ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
            break;
        }
        case Type::file: {
            Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (fd.fd < 0) failErrno("cannot make the file", path, errno);
            bool whole = true;
            for (std::size_t i = 0; i < e->bands.size(); ++i) {
                const auto bytes = store_.get(bandKey(e->bands[i]));
                if (!bytes || bytes->size() != SnapshotManifest::bandSize(e->size, i) ||
                    sha256Hex(bytes->data(), bytes->size()) != e->bands[i]) {
                    whole = false;
                    break;
                }
                writeFull(fd.fd, bytes->data(), bytes->size(), path);
            }
            if (!whole) {
                ::close(fd.fd);
                fd.fd = -1;
                ::unlink(path.c_str());
                damaged.push_back(e->path);
                break;
            }
            // Start writing the file out now, so the flush at the end has
            // little left to do and the disk works while the next files are read.
            ::sync_file_range(fd.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            if (::fchmod(fd.fd, e->mode) != 0) failErrno("cannot set the mode of", path, errno);
            const timespec times[2] = {timespecOf(e->mtimeNs), timespecOf(e->mtimeNs)};
            if (::futimens(fd.fd, times) != 0) failErrno("cannot set the time of", path, errno);
            ++result.files;
            result.bytes += e->size;
            break;
        }
        }
    }
    // Folders last, deepest first: writing into a folder changes its time.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        const fs::path path = staging / (*it)->path;
        const timespec times[2] = {timespecOf((*it)->mtimeNs), timespecOf((*it)->mtimeNs)};
        if (::chmod(path.c_str(), (*it)->mode | 0700) != 0) failErrno("cannot set the mode of", path, errno);
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    {
        Fd dir(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd < 0 || ::syncfs(dir.fd) != 0) failErrno("cannot flush", staging, errno);
    }
    // The visible folder follows the name in the record: the restored vault
    // is NAME (both copies of the record say so; nothing sealed depends on it).
    if (const auto config = ConfigStore::load({staging / "vault.json", staging / "vault.json.bak"});
        config && config->name != name) {
        VaultConfig renamed = *config;
        renamed.name = name;
        try {
            ConfigStore::save(renamed, staging / "vault.json", std::nullopt);
        } catch (const std::exception& e) {
            throw VaultError::io("cannot name the restored vault " + name + ": " + e.what());
        }
    }
    // An empty folder under the name is replaced by the rename.
    if (::rename(staging.c_str(), target.c_str()) != 0)
        failErrno("cannot move the restored vault to", target, errno);
    cleanup.keep = true;
    {
        Fd dir(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd >= 0) ::fsync(dir.fd);
    }
    result.vaultDir = target;
    if (!damaged.empty())
        throw VaultError::integrity(
            std::to_string(damaged.size()) + (damaged.size() == 1 ? " file" : " files") + " of snapshot " +
            snapshot + " had missing or damaged bands and " + (damaged.size() == 1 ? "was" : "were") +
            " left out of " + target.string() + ": " + joinShort(damaged));
    return result;
}

// ---- check ----

BandSync::CheckReport BandSync::check(bool readData) {
    requireStore(false);
    CheckReport report;
    std::vector<SnapshotManifest> manifests;
    for (const auto& id : snapshotIds()) {
        try {
            if (auto m = loadManifest(id)) manifests.push_back(std::move(*m));
        } catch (const VaultError& e) {
            if (e.kind() != VaultError::Case::integrity) throw;
            report.damage.push_back({id, "", {}, e.payload().empty() ? e.what() : e.payload().front()});
        }
    }
    report.snapshots = manifests.size() + report.damage.size();

    std::unordered_set<std::string> stored;
    for (const auto& key : store_.list("bands/")) {
        const std::string name = key.substr(key.rfind('/') + 1);
        if (isHash(name) && key == bandKey(name)) stored.insert(name);
    }
    // Each band named, with its expected size.
    std::unordered_map<std::string, std::size_t> named;
    for (const auto& m : manifests)
        for (const auto& e : m.entries)
            for (std::size_t i = 0; i < e.bands.size(); ++i)
                named.emplace(e.bands[i], SnapshotManifest::bandSize(e.size, i));
    report.bands = named.size();

    std::set<std::string> missing, damaged;
    for (const auto& [band, size] : named) {
        if (!stored.count(band)) {
            missing.insert(band);
        } else if (readData) {
            const auto bytes = store_.get(bandKey(band));
            ++report.bandsRead;
            if (!bytes) {
                missing.insert(band);
            } else if (bytes->size() != size || sha256Hex(bytes->data(), bytes->size()) != band) {
                damaged.insert(band);
            }
        }
    }
    for (const auto& band : stored)
        if (!named.count(band)) ++report.unreferenced;
    report.missingBands.assign(missing.begin(), missing.end());
    report.damagedBands.assign(damaged.begin(), damaged.end());
    if (missing.empty() && damaged.empty()) return report;
    for (const auto& m : manifests)
        for (const auto& e : m.entries) {
            Damage d{m.id, e.path, {}, ""};
            bool anyMissing = false;
            for (const auto& b : e.bands) {
                if (missing.count(b)) {
                    anyMissing = true;
                    d.bands.push_back(b);
                } else if (damaged.count(b)) {
                    d.bands.push_back(b);
                }
            }
            if (d.bands.empty()) continue;
            d.what = anyMissing ? "missing" : "damaged";
            report.damage.push_back(std::move(d));
        }
    return report;
}

// ---- prune ----

std::vector<std::string> BandSync::selectKept(const std::vector<SnapshotInfo>& snapshots,
                                              const KeepRules& rules) {
    std::map<std::string, std::vector<std::pair<std::int64_t, std::string>>> byVault;
    for (const auto& s : snapshots) {
        if (!s.readable) continue;
        byVault[s.vaultId].push_back({SnapshotManifest::timeOfId(s.id).value_or(0), s.id});
    }
    std::set<std::string> kept;
    for (auto& entry : byVault) {
        // A plain reference (not a structured binding): the lambda below uses it.
        auto& list = entry.second;
        std::sort(list.begin(), list.end(), std::greater<>());
        for (int i = 0; i < rules.last && i < static_cast<int>(list.size()); ++i)
            kept.insert(list[i].second);
        // The newest snapshot of each of the `count` latest periods that have one.
        auto keepPer = [&](int count, auto periodOf) {
            std::optional<std::int64_t> last;
            int taken = 0;
            for (const auto& [time, id] : list) {
                if (taken >= count) break;
                const std::int64_t period = periodOf(time);
                if (last && *last == period) continue;
                last = period;
                kept.insert(id);
                ++taken;
            }
        };
        constexpr std::int64_t dayMs = 86400000;
        auto dayOf = [](std::int64_t ms) { return ms >= 0 ? ms / dayMs : (ms - dayMs + 1) / dayMs; };
        keepPer(rules.daily, dayOf);
        // 1970-01-01 was a Thursday; weeks start on Monday.
        keepPer(rules.weekly, [&](std::int64_t ms) { return (dayOf(ms) + 3) / 7; });
        keepPer(rules.monthly, [](std::int64_t ms) {
            const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
            std::tm tm{};
            ::gmtime_r(&seconds, &tm);
            return static_cast<std::int64_t>(tm.tm_year) * 12 + tm.tm_mon;
        });
    }
    std::vector<std::string> out(kept.begin(), kept.end());
    return out;
}

BandSync::PruneResult BandSync::prune(const KeepRules& rules, bool dryRun) {
    if (!rules.any())
        throw VaultError::io(
            "a prune needs at least one rule: keep-last, keep-daily, keep-weekly or keep-monthly");
    requireStore(false);
    std::optional<StoreLease> lease;
    bool pushRunning = false;
    if (!dryRun) {
        lease.emplace(store_, "prune");
        for (const auto& kind : lease->othersAlive()) {
            if (kind == "prune")
                throw VaultError::io("another prune of " + store_.describe() + " is running");
            if (kind == "push") pushRunning = true;
        }
    }
    // The snapshots are read only now, after the lease: a push that ended
    // before it has its manifest in this listing.
    const auto infos = list();
    const auto keptIds = selectKept(infos, rules);
    const std::set<std::string> keep(keptIds.begin(), keptIds.end());
    PruneResult result;
    for (const auto& s : infos)
        (keep.count(s.id) || !s.readable ? result.kept : result.removed).push_back(s.id);

    for (const auto& id : result.removed) {
        if (!dryRun) store_.remove(manifestKey(id));
    }
    if (pushRunning) {
        result.bandsLeftForPush = true;
        return result;
    }
    std::unordered_set<std::string> needed;
    for (const auto& id : result.kept) {
        std::optional<SnapshotManifest> m;
        try {
            m = loadManifest(id);
        } catch (const VaultError& e) {
            if (e.kind() != VaultError::Case::integrity) throw;
            // A manifest that does not read might still name any band: keep them all.
            return result;
        }
        if (!m) continue;
        for (const auto& e : m->entries)
            needed.insert(e.bands.begin(), e.bands.end());
    }
    for (const auto& key : store_.list("bands/")) {
        const std::string name = key.substr(key.rfind('/') + 1);
        if (!isHash(name) || key != bandKey(name) || needed.count(name)) continue;
        if (!dryRun) {
            store_.remove(key);
            lease->renewIfDue();
        }
        ++result.bandsRemoved;
    }
    return result;
}

} // namespace vaultkit
