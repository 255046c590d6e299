#include "vaultkit/diskimage/GocryptfsConflicts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <regex>
#include <sstream>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view dirIVName = "gocryptfs.diriv";
constexpr std::string_view longNamePrefix = "gocryptfs.longname.";
constexpr std::string_view longNameSuffix = ".name";
constexpr std::size_t dirIVBytes = 16;
constexpr int maxDepth = 256;
constexpr int maxTries = 10000;

bool isBase64UrlChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

std::string join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

std::string lastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// rename(2) that never replaces an existing entry.
int renameNoReplace(const fs::path& from, const fs::path& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
}

std::optional<std::string> readSmall(const fs::path& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(limit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > limit) return std::nullopt;
    return text;
}

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        throw std::runtime_error("no random bytes");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const auto b : raw) {
        out += hex[b >> 4];
        out += hex[b & 0x0F];
    }
    return out;
}

struct Entry {
    std::string name;
    bool directory = false;
    bool regular = false;
    off_t size = 0;
};

std::optional<std::vector<Entry>> listFolder(const fs::path& dir) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return std::nullopt;
    std::vector<Entry> entries;
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return std::nullopt;
        Entry e;
        e.name = it->path().filename().string();
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0) {
            e.directory = S_ISDIR(st.st_mode);
            e.regular = S_ISREG(st.st_mode);
            e.size = st.st_size;
        }
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

bool isLongNameRecord(std::string_view name) {
    return name.size() > longNameSuffix.size() &&
           name.substr(name.size() - longNameSuffix.size()) == longNameSuffix &&
           GocryptfsConflicts::isCipherName(name.substr(0, name.size() - longNameSuffix.size())) &&
           name.substr(0, longNamePrefix.size()) == longNamePrefix;
}

bool isLongName(std::string_view name) {
    return name.substr(0, longNamePrefix.size()) == longNamePrefix && GocryptfsConflicts::isCipherName(name);
}

// The names in a folder, without looking at each (a folder of the mount: one
// readdir, no attribute questions to the daemon).
std::optional<std::vector<std::string>> listNames(const fs::path& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* ent = ::readdir(d)) {
        const std::string_view n = ent->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    ::closedir(d);
    return names;
}

std::string hex16(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 8; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0F];
    }
    return out;
}

constexpr std::string_view tempPrefix = ".hushcoffer-conflict-";

// The hash digits of a temporary name (see the class comment); none when the
// name is not one.
std::optional<std::string> temporaryHash(std::string_view name) {
    if (name.substr(0, tempPrefix.size()) != tempPrefix) return std::nullopt;
    const auto rest = name.substr(tempPrefix.size());
    const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    if (rest.size() < 16 || !std::all_of(rest.begin(), rest.begin() + 16, isHex)) return std::nullopt;
    if (rest.size() > 16 && (rest[16] != '-' || !std::all_of(rest.begin() + 17, rest.end(), isHex)))
        return std::nullopt;
    return std::string(rest.substr(0, 16));
}

long long mtimeNs(const struct stat& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

long long nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Whether the file reads to its end (every block decrypts, through the mount).
bool readsToEnd(const fs::path& file, std::string& why) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
    }
    ::close(fd);
    return true;
}

bool sameContent(const fs::path& a, const fs::path& b) {
    struct stat sa {
    }, sb{};
    if (::lstat(a.c_str(), &sa) != 0 || ::lstat(b.c_str(), &sb) != 0) return false;
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size) return false;
    std::ifstream ia(a, std::ios::binary), ib(b, std::ios::binary);
    if (!ia || !ib) return false;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    for (;;) {
        ia.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        ib.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        const auto na = ia.gcount(), nb = ib.gcount();
        if (na != nb || !std::equal(ba.begin(), ba.begin() + na, bb.begin())) return false;
        if (na == 0 || ia.eof() || ib.eof()) return ia.eof() == ib.eof() && !ia.bad() && !ib.bad();
    }
}

const std::regex& otherCopyPattern() {
    static const std::regex re(R"(^Other copy of this folder \(Conflict \d+\)$)");
    return re;
}

} // namespace

const std::vector<GocryptfsConflicts::Mark>& GocryptfsConflicts::marks() {
    // Each client adds its mark before the extension of a name when the name
    // has one ("gocryptfs.longname (conflicted copy …).HASH") and at its end
    // otherwise (encrypted names have no dot), so a mark is looked for
    // anywhere in the name.
    static const std::vector<Mark> table = {
        // "NAME (conflicted copy 2024-05-01)", "NAME (Ann's conflicted copy 2024-05-01 (1))"
        {"Dropbox", R"( \([^()]*conflicted copy \d{4}-\d{2}-\d{2}(?: \(\d+\))?\))"},
        // The same in the other languages Dropbox speaks: "NAME (Anns in
        // Konflikt stehende Kopie 2026-12-10)", "NAME (copie en conflit de
        // Ann 2026-12-10)": a text ending in the date, in parentheses.
        {"Dropbox (localised)", R"( \([^()]*\d{4}-\d{2}-\d{2}(?: \(\d+\))?\))"},
        // "NAME (conflicted copy 2024-05-01 101010)"
        {"Nextcloud/ownCloud", R"( \(conflicted copy \d{4}-\d{2}-\d{2} \d{6}\))"},
        // "NAME_conflict-20240501-101010" (ownCloud)
        {"ownCloud", R"(_conflict-\d{8}-\d{6})"},
        // "NAME.sync-conflict-20240501-101010-ABCDEFG"
        {"Syncthing", R"(\.sync-conflict-\d{8}-\d{6}-[A-Z0-9]{7})"},
        // "NAME (SFConflict ann@example.org 2024-05-01-10-10-10)"
        {"Seafile", R"( \(SFConflict [^()]*\))"},
        // "NAME-HOSTNAME-safeBackup-0001" (the OneDrive client for Linux; its
        // plain "NAME-HOSTNAME" is an encrypted name with something added,
        // found by originalNames())
        {"OneDrive (Linux)", R"(-[A-Za-z0-9][A-Za-z0-9._-]*-safeBackup-\d{4})"},
        // "NAME (1)": Google Drive, OneDrive and others on a second copy
        {"Google Drive/OneDrive", R"( \(\d+\))"},
    };
    return table;
}

std::vector<std::string> GocryptfsConflicts::unmarkedNames(std::string_view name) {
    static const std::vector<std::regex> compiled = [] {
        std::vector<std::regex> out;
        for (const auto& m : marks())
            out.emplace_back(m.pattern, std::regex::ECMAScript | std::regex::optimize);
        return out;
    }();
    std::vector<std::string> out;
    const std::string text(name);
    for (const auto& re : compiled) {
        for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
             ++it) {
            const auto pos = static_cast<std::size_t>(it->position());
            std::string candidate =
                text.substr(0, pos) + text.substr(pos + static_cast<std::size_t>(it->length()));
            if (!candidate.empty() && std::find(out.begin(), out.end(), candidate) == out.end())
                out.push_back(std::move(candidate));
        }
    }
    return out;
}

std::vector<std::string> GocryptfsConflicts::originalNames(std::string_view name) {
    auto out = unmarkedNames(name);
    const auto add = [&](std::string candidate) {
        if (candidate != name && std::find(out.begin(), out.end(), candidate) == out.end())
            out.push_back(std::move(candidate));
    };
    if (name.substr(0, 9) == "gocryptfs") {
        // A long name, its record or the folder key with something added
        // anywhere: the hash is the one run of 43 Base64 characters after a dot.
        if (name.size() > dirIVName.size() && name.substr(name.size() - 6) == ".diriv")
            add(std::string(dirIVName));
        if (name.substr(0, dirIVName.size()) == dirIVName) add(std::string(dirIVName));
        if (name.substr(0, 18) != "gocryptfs.longname") return out;
        for (std::size_t p = 19; p + 43 <= name.size(); ++p) {
            if (name[p - 1] != '.') continue;
            const auto hash = name.substr(p, 43);
            if (!std::all_of(hash.begin(), hash.end(), isBase64UrlChar)) continue;
            if (p + 43 < name.size() && isBase64UrlChar(name[p + 43])) continue;
            const std::string longName = std::string(longNamePrefix) + std::string(hash);
            const bool record = name.find(".name", p + 43) != std::string_view::npos;
            add(record ? longName + std::string(longNameSuffix) : longName);
            break;
        }
        return out;
    }
    // An encrypted name with something added after it; not when the name is
    // an encrypted name itself (of another key, or damaged).
    if (isCipherName(name)) return out;
    for (std::size_t len = std::min<std::size_t>(name.size() - 1, 255); len >= 22; --len)
        if (isBase64UrlChar(name[len - 1]) && isCipherName(name.substr(0, len)))
            add(std::string(name.substr(0, len)));
    return out;
}

bool GocryptfsConflicts::isCipherName(std::string_view name) {
    if (name.substr(0, longNamePrefix.size()) == longNamePrefix) {
        const auto hash = name.substr(longNamePrefix.size());
        return hash.size() == 43 && std::all_of(hash.begin(), hash.end(), isBase64UrlChar);
    }
    if (name.empty() || name.size() > 255 || !std::all_of(name.begin(), name.end(), isBase64UrlChar))
        return false;
    const std::size_t bytes = name.size() * 3 / 4;
    return name.size() % 4 != 1 && bytes >= 16 && bytes % 16 == 0 && (bytes * 4 + 2) / 3 == name.size();
}

bool GocryptfsConflicts::isPlausibleName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    std::size_t i = 0;
    while (i < name.size()) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F || c == '/') return false;
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > name.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(name[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x80 && cp <= 0x9F) return false; // C1 controls
        i += len;
    }
    return true;
}

std::optional<std::string> GocryptfsConflicts::syncTemporaryClient(std::string_view name) {
    static const std::vector<std::pair<std::string, std::regex>> table = [] {
        std::vector<std::pair<std::string, std::regex>> t;
        // Syncthing: ".syncthing.NAME.tmp" (kept a day after a failed download), "~syncthing~NAME.tmp"
        // (Windows)
        t.emplace_back("Syncthing", std::regex(R"(^(\.syncthing\..+|~syncthing~.+)\.tmp$)"));
        // Nextcloud/ownCloud desktop clients: ".NAME.~1a2b3c" while downloading
        t.emplace_back("Nextcloud/ownCloud", std::regex(R"(^\..+\.~[0-9a-f]+$)"));
        // Resilio Sync: "NAME.!sync"
        t.emplace_back("Resilio Sync", std::regex(R"(\.!sync$)"));
        // Unison: ".unison.NAME.HASH.unison.tmp"
        t.emplace_back("Unison", std::regex(R"(^\.unison\..*\.unison\.tmp$)"));
        // rclone and the OneDrive client for Linux: "NAME.partial", "NAME.XXXX.partial"
        t.emplace_back("rclone/OneDrive", std::regex(R"(\.partial$)"));
        return t;
    }();
    const std::string text(name);
    for (const auto& [client, re] : table)
        if (std::regex_search(text, re)) return client;
    return std::nullopt;
}

std::string GocryptfsConflicts::conflictName(std::string_view plainName, int n, std::size_t maxBytes) {
    const auto dot = plainName.rfind('.');
    const bool hasExt = dot != std::string_view::npos && dot > 0;
    std::string_view stem = hasExt ? plainName.substr(0, dot) : plainName;
    std::string_view ext = hasExt ? plainName.substr(dot) : std::string_view{};
    const std::string mark = " (Conflict " + std::to_string(n) + ")";
    if (mark.size() + ext.size() >= maxBytes) {
        stem = plainName;
        ext = {};
    }
    while (!stem.empty() && stem.size() + mark.size() + ext.size() > maxBytes) {
        stem.remove_suffix(1);
        // never end inside a UTF-8 sequence
        while (!stem.empty() && (static_cast<unsigned char>(stem.back()) & 0xC0) == 0x80)
            stem.remove_suffix(1);
        if (!stem.empty() && (static_cast<unsigned char>(stem.back()) & 0x80)) stem.remove_suffix(1);
    }
    return std::string(stem) + mark + std::string(ext);
}

std::string GocryptfsConflicts::otherCopyFolderName(int n) {
    return "Other copy of this folder (Conflict " + std::to_string(n) + ")";
}

std::string GocryptfsConflicts::standInName(int n, std::string_view extension) {
    return "Conflict copy " + std::to_string(n) + std::string(extension);
}

GocryptfsConflicts::GocryptfsConflicts(fs::path image, fs::path mountPoint, fs::path controlSocket, Log log)
    : GocryptfsConflicts(std::move(image), std::move(mountPoint), std::move(controlSocket), std::move(log),
                         Options{}) {}

GocryptfsConflicts::GocryptfsConflicts(fs::path image, fs::path mountPoint, fs::path controlSocket, Log log,
                                       Options options)
    : image_(std::move(image))
    , mountPoint_(std::move(mountPoint))
    , socket_(std::move(controlSocket))
    , log_(std::move(log))
    , options_(std::move(options)) {
    std::error_code ec;
    realImage_ = fs::canonical(image_, ec);
    if (ec) realImage_ = image_;
}

fs::path GocryptfsConflicts::cipherPath(const std::string& rel) const {
    return rel.empty() ? image_ : image_ / rel;
}

fs::path GocryptfsConflicts::plainPath(const std::string& rel) const {
    return rel.empty() ? mountPoint_ : mountPoint_ / rel;
}

void GocryptfsConflicts::note(const std::string& line) const {
    if (log_) log_(line);
}

void GocryptfsConflicts::step(std::string_view name) const {
    if (options_.stepHook) options_.stepHook(name);
}

void GocryptfsConflicts::problem(Result& result, const std::string& key, const std::string& line,
                                 bool hides) {
    if (hides) hidden_[key] = line;
    if (!reported_.insert(key).second) return;
    result.problems.push_back(line);
    note(line);
}

bool GocryptfsConflicts::openForWriting(const fs::path& file) {
    if (!writers_) {
        // Every file some process of this user holds open for writing (the
        // access mode in the descriptor's fdinfo "flags:", in octal).
        writers_.emplace();
        const std::string base = realImage_.string() + "/";
        DIR* proc = ::opendir("/proc");
        while (const dirent* p = proc ? ::readdir(proc) : nullptr) {
            const std::string pid = p->d_name;
            if (pid.empty() ||
                !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            const std::string fdDir = "/proc/" + pid + "/fd";
            const auto fds = listNames(fdDir);
            if (!fds) continue;
            for (const auto& fd : *fds) {
                char target[4096];
                const ssize_t n = ::readlink((fdDir + "/" + fd).c_str(), target, sizeof target - 1);
                if (n <= 0) continue;
                const std::string path(target, static_cast<std::size_t>(n));
                if (path.compare(0, base.size(), base) != 0) continue;
                const auto info = readSmall("/proc/" + pid + "/fdinfo/" + fd, 4096);
                if (!info) continue;
                const auto at = info->find("flags:");
                if (at == std::string::npos) continue;
                const unsigned long flags = std::strtoul(info->c_str() + at + 6, nullptr, 8);
                if ((flags & O_ACCMODE) != O_RDONLY) writers_->insert(path);
            }
        }
        if (proc) ::closedir(proc);
    }
    std::error_code ec;
    const auto rel = fs::relative(file, image_, ec);
    const std::string real = (ec ? file : realImage_ / rel).lexically_normal().string();
    return writers_->count(real) > 0;
}

struct GocryptfsConflicts::Pass {
    std::string cipherRel, plainRel;
    std::vector<Entry> entries;
    std::optional<std::vector<std::string>> plainNames;
    // The "Other copy of this folder" sub-folders: encrypted name, plain name.
    std::vector<std::pair<std::string, std::string>> others;
    bool changed = false;

    const Entry* entry(const std::string& name) const {
        for (const auto& e : entries)
            if (e.name == name) return &e;
        return nullptr;
    }
    bool hasPlain(const std::string& name) const {
        return plainNames && std::find(plainNames->begin(), plainNames->end(), name) != plainNames->end();
    }
    void madeVisible(Result& result, const std::string& shown) const {
        result.madeVisible.push_back(shown);
        if (std::find(result.folders.begin(), result.folders.end(), plainRel) == result.folders.end())
            result.folders.push_back(plainRel);
    }
};

GocryptfsConflicts::Result GocryptfsConflicts::resolve() {
    known_.clear();
    return resolveChanged();
}

GocryptfsConflicts::Result GocryptfsConflicts::resolveChanged() {
    Result result;
    writers_.reset();
    // Folders with a copy that did not read to its end and has changed since
    // (a client may write it in place, which leaves its folder's times).
    std::set<std::string> forced;
    for (const auto& [path, was] : unreadable_) {
        struct stat st {};
        if (::lstat(cipherPath(path).c_str(), &st) != 0 || std::make_pair(st.st_size, mtimeNs(st)) != was) {
            const auto slash = path.rfind('/');
            forced.insert(slash == std::string::npos ? std::string() : path.substr(0, slash));
        }
    }
    visit("", std::string(), result, 0, false, true, forced);
    listHidden(result);
    return result;
}

std::size_t GocryptfsConflicts::knownFolderCount() const {
    return known_.size();
}

std::vector<std::string> GocryptfsConflicts::knownFolders(std::size_t max) const {
    std::vector<std::string> out;
    std::vector<std::string> level{std::string()};
    while (!level.empty() && out.size() < max) {
        std::vector<std::string> next;
        for (const auto& rel : level) {
            const auto it = known_.find(rel);
            if (it == known_.end()) continue;
            if (out.size() >= max) break;
            out.push_back(rel);
            for (const auto& sub : it->second.subfolders)
                next.push_back(sub.first);
        }
        level = std::move(next);
    }
    return out;
}

void GocryptfsConflicts::forget(const std::string& cipherRel) {
    if (cipherRel.empty()) {
        known_.clear();
        return;
    }
    known_.erase(cipherRel);
    const std::string below = cipherRel + "/";
    for (auto it = known_.lower_bound(below); it != known_.end() && it->first.compare(0, below.size(), below) == 0;)
        it = known_.erase(it);
}

void GocryptfsConflicts::visit(const std::string& cipherRel, std::optional<std::string> plainRel, Result& result,
                               int depth, bool force, bool descend, const std::set<std::string>& forced) {
    if (depth > maxDepth) return;
    struct stat st {};
    if (::lstat(cipherPath(cipherRel).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        forget(cipherRel);
        return;
    }
    const Stamp stamp{st.st_ino, mtimeNs(st), static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL +
                                                  st.st_ctim.tv_nsec};
    const auto it = known_.find(cipherRel);
    if (!plainRel && it != known_.end() && it->second.plainKnown) plainRel = it->second.plain;
    const bool same = it != known_.end() && !it->second.racy && it->second.stamp.inode == stamp.inode &&
                      it->second.stamp.mtime == stamp.mtime && it->second.stamp.ctime == stamp.ctime;
    if (same && !force && !forced.count(cipherRel)) {
        if (!descend) return;
        const auto subfolders = it->second.subfolders; // the visits below may change the map
        for (const auto& sub : subfolders)
            visit(sub.first, std::nullopt, result, depth + 1, false, true, forced);
        return;
    }
    if (!plainRel) {
        // Known from an earlier mount, which kept no plain names.
        if (cipherRel.empty()) {
            plainRel = std::string();
        } else {
            plainRel = socket_.decryptPath(cipherRel);
            if (!plainRel) {
                forget(cipherRel);
                return;
            }
        }
    }
    // The stamp is taken before the folder is read: a change made while it
    // is read shows as a difference next time.
    const long long lookedAt = nowNs();
    if (options_.readHook) options_.readHook(cipherRel);
    result.read.push_back(cipherRel);
    waiting_.erase(cipherRel);
    std::vector<std::pair<std::string, std::string>> subfolders;
    if (!scanFolder(cipherRel, *plainRel, result, depth, false, &subfolders)) {
        forget(cipherRel); // read again next time
        return;
    }
    if (std::find(result.waiting.begin(), result.waiting.end(), cipherRel) != result.waiting.end())
        waiting_.insert(cipherRel);
    if (const auto was = known_.find(cipherRel); was != known_.end())
        for (const auto& old : was->second.subfolders)
            if (std::none_of(subfolders.begin(), subfolders.end(),
                             [&](const auto& sub) { return sub.first == old.first; }))
                forget(old.first);
    Known k;
    k.stamp = stamp;
    k.racy = lookedAt - std::max(stamp.mtime, stamp.ctime) < static_cast<long long>(options_.racyMs) * 1000000LL;
    k.plainKnown = true;
    k.plain = *plainRel;
    k.subfolders = subfolders;
    known_[cipherRel] = std::move(k);
    if (!descend) return;
    for (const auto& sub : subfolders)
        visit(sub.first, sub.second, result, depth + 1, false, true, forced);
}

namespace {
constexpr std::string_view stateHeader = "hushcoffer conflict passes 1\n";
} // namespace

std::string GocryptfsConflicts::savedState() const {
    // Folders the first pass of the next mount reads anyway.
    std::set<std::string> again = waiting_;
    const auto parentOf = [](const std::string& path) {
        const auto slash = path.rfind('/');
        return slash == std::string::npos ? std::string() : path.substr(0, slash);
    };
    for (const auto& h : hidden_)
        again.insert(parentOf(h.first));
    for (const auto& u : unreadable_)
        again.insert(parentOf(u.first));
    std::string out(stateHeader);
    for (const auto& [rel, k] : known_) {
        const bool readAgain = k.racy || again.count(rel) > 0;
        out += std::to_string(k.stamp.inode) + ' ' + std::to_string(k.stamp.mtime) + ' ' +
               std::to_string(k.stamp.ctime) + ' ' + (readAgain ? '1' : '0') + ' ' + (rel.empty() ? "." : rel) +
               '\n';
    }
    return out;
}

bool GocryptfsConflicts::restoreState(std::string_view text) {
    if (text.substr(0, stateHeader.size()) != stateHeader) return false;
    text.remove_prefix(stateHeader.size());
    std::map<std::string, Known> known;
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) return false;
        const std::string line(text.substr(0, end));
        text.remove_prefix(end + 1);
        std::istringstream in(line);
        unsigned long long inode = 0;
        long long mtime = 0, ctime = 0;
        int again = 0;
        std::string rel;
        if (!(in >> inode >> mtime >> ctime >> again >> rel) || (again != 0 && again != 1)) return false;
        std::string rest;
        if (in >> rest) return false;
        if (rel == ".") {
            rel.clear();
        } else {
            // Only encrypted names: nothing else is ever read back.
            std::size_t from = 0;
            for (;;) {
                const auto slash = rel.find('/', from);
                const std::string_view part = std::string_view(rel).substr(from, slash - from);
                if (!isCipherName(part)) return false;
                if (slash == std::string::npos) break;
                from = slash + 1;
            }
        }
        Known k;
        k.stamp = Stamp{static_cast<ino_t>(inode), mtime, ctime};
        k.racy = again == 1;
        k.plainKnown = false;
        known[rel] = std::move(k);
    }
    if (!known.count(std::string())) return false;
    // Each folder's sub-folders are the ones below it.
    for (auto& [rel, k] : known) {
        if (rel.empty()) continue;
        const auto slash = rel.rfind('/');
        const std::string parent = slash == std::string::npos ? std::string() : rel.substr(0, slash);
        const auto p = known.find(parent);
        if (p == known.end()) return false;
        p->second.subfolders.emplace_back(rel, std::string());
    }
    known_ = std::move(known);
    return true;
}

void GocryptfsConflicts::listHidden(Result& result) const {
    for (const auto& [key, line] : hidden_)
        result.hidden.push_back(line);
}

GocryptfsConflicts::Result GocryptfsConflicts::resolve(const std::vector<Folder>& folders) {
    Result result;
    writers_.reset();
    const std::set<std::string> none;
    for (const auto& f : folders) {
        std::string plain;
        if (!f.cipherPath.empty()) {
            const auto p = socket_.decryptPath(f.cipherPath);
            if (!p) continue;
            plain = *p;
        }
        // Everything below a folder that came new is read; the stamps taken
        // spare the next resolveChanged() what is read here.
        if (f.recursive) forget(f.cipherPath);
        const int depth = f.cipherPath.empty()
                              ? 0
                              : 1 + static_cast<int>(std::count(f.cipherPath.begin(), f.cipherPath.end(), '/'));
        visit(f.cipherPath, plain, result, depth, true, f.recursive, none);
    }
    listHidden(result);
    return result;
}

std::optional<std::string> GocryptfsConflicts::readsUnder(const std::string& folderCipher,
                                                          const std::string& name,
                                                          const std::string& keyFolderCipher) const {
    // The name as it reads under the key of `keyFolderCipher` (a long name
    // through its record, which lies in `folderCipher`).
    std::string full = name;
    if (isLongName(name)) {
        // The record may have gone ahead into the key's folder (a pass
        // stopped between moving the record and the name).
        auto record = readSmall(cipherPath(join(folderCipher, name + std::string(longNameSuffix))), 4096);
        if (!record)
            record = readSmall(cipherPath(join(keyFolderCipher, name + std::string(longNameSuffix))), 4096);
        if (!record) return std::nullopt;
        full = *record;
        while (!full.empty() && (full.back() == '\n' || full.back() == '\0'))
            full.pop_back();
        if (!isCipherName(full) && full.size() <= 255) return std::nullopt;
    } else if (!isCipherName(name)) {
        return std::nullopt;
    }
    std::optional<std::string> p;
    if (isLongName(name) && keyFolderCipher == folderCipher)
        p = socket_.decryptPath(join(folderCipher, name));
    else
        p = socket_.decryptPath(join(keyFolderCipher, full));
    if (!p) return std::nullopt;
    std::string last = lastComponent(*p);
    if (!isPlausibleName(last)) return std::nullopt;
    return last;
}

// The mount's listing first, then the image folder's: a name made in
// between shows as a difference, never hides one.
bool GocryptfsConflicts::look(Pass& pass) {
    pass.plainNames = listNames(plainPath(pass.plainRel));
    auto entries = listFolder(cipherPath(pass.cipherRel));
    if (!entries) return false;
    pass.entries = std::move(*entries);
    pass.others.clear();
    if (pass.plainNames)
        for (const auto& n : *pass.plainNames)
            if (std::regex_match(n, otherCopyPattern()))
                if (const auto c = socket_.encryptPath(join(pass.plainRel, n))) {
                    const std::string cn = lastComponent(*c);
                    if (const Entry* e = pass.entry(cn); e && e->directory)
                        pass.others.emplace_back(cn, n);
                }
    pass.changed = false;
    return true;
}

// Conflicted copies of the folder's name key.
void GocryptfsConflicts::resolveKeyCopies(Pass& pass, Result& result) {
    const auto current = readSmall(cipherPath(join(pass.cipherRel, std::string(dirIVName))), dirIVBytes);
    for (const auto& e : std::vector<Entry>(pass.entries)) {
        if (e.name == dirIVName) continue;
        const auto originals = originalNames(e.name);
        if (std::find(originals.begin(), originals.end(), dirIVName) == originals.end()) continue;
        const std::string where = join(pass.cipherRel, e.name);
        const auto copy = e.regular ? readSmall(cipherPath(where), dirIVBytes) : std::nullopt;
        if (!copy || copy->size() != dirIVBytes) {
            problem(result, where, "conflict copy " + where + " left as it is: not a folder name key");
            continue;
        }
        if (current && *copy == *current) {
            problem(result, where, "conflict copy " + where + " left as it is: identical to the key in use",
                    false);
            continue;
        }
        if (!current) {
            // The key in use is gone and this copy is all there is: it becomes
            // the folder's key again.
            const std::string key = join(pass.cipherRel, std::string(dirIVName));
            if (renameNoReplace(cipherPath(where), cipherPath(key)) == 0) {
                note("conflict copy " + where + " renamed to " + key + ": the folder had no key");
                pass.changed = true;
            } else {
                problem(result, where,
                        "conflict copy " + where + " left as it is: cannot rename it to " + key + ": " +
                            std::strerror(errno));
            }
            break;
        }
        // Already the key of an "Other copy" folder here: hides nothing more.
        bool known = false;
        for (const auto& [oc, on] : pass.others)
            if (readSmall(cipherPath(join(join(pass.cipherRel, oc), std::string(dirIVName))), dirIVBytes) ==
                copy) {
                problem(result, where,
                        "conflict copy " + where + " left as it is: identical to the key of \"" +
                            join(pass.plainRel, on) + "\"",
                        false);
                known = true;
            }
        if (!known) pass.changed |= resolveDirIV(pass, e.name, result);
    }
}

// Hidden names: copies, and names of another copy's key. Only looked at
// one by one when the mount shows fewer names than the folder holds, or
// another copy's key may claim some.
void GocryptfsConflicts::resolveHiddenNames(Pass& pass, Result& result) {
    std::size_t shown = 0;
    for (const auto& e : pass.entries)
        if (e.name != dirIVName && !(pass.cipherRel.empty() && e.name == "gocryptfs.conf") &&
            !isLongNameRecord(e.name))
            ++shown;
    if (!pass.plainNames || pass.plainNames->size() != shown || !pass.others.empty()) {
        for (const auto& e : std::vector<Entry>(pass.entries)) {
            if (e.name == dirIVName || (pass.cipherRel.empty() && e.name == "gocryptfs.conf") ||
                isLongNameRecord(e.name))
                continue;
            if (syncTemporaryClient(e.name)) continue; // the client's, still on its way
            if (std::any_of(pass.others.begin(), pass.others.end(),
                            [&](const auto& o) { return o.first == e.name; }))
                continue;
            const auto here = readsUnder(pass.cipherRel, e.name, pass.cipherRel);
            bool moved = false;
            for (const auto& [oc, on] : pass.others) {
                // The other key wins when both read it.
                if (readsUnder(pass.cipherRel, e.name, join(pass.cipherRel, oc))) {
                    pass.changed |= moveToOtherCopy(pass, e.name, oc, result);
                    moved = true;
                    break;
                }
            }
            if (moved || here) continue;
            if (isCipherName(e.name) && socket_.decryptPath(join(pass.cipherRel, e.name)))
                continue; // reads, oddly
            pass.changed |= resolveHidden(pass, e.name, result);
        }
    }
}

bool GocryptfsConflicts::scanFolder(const std::string& cipherRel, const std::string& plainRel, Result& result,
                                    int depth, bool recursive,
                                    std::vector<std::pair<std::string, std::string>>* subfolders) {
    if (depth > maxDepth) return false;
    // What this folder hides is found afresh.
    for (auto it = hidden_.begin(); it != hidden_.end();) {
        const auto slash = it->first.rfind('/');
        const bool here = slash == std::string::npos
                              ? cipherRel.empty()
                              : slash == cipherRel.size() && it->first.compare(0, slash, cipherRel) == 0;
        it = here ? hidden_.erase(it) : std::next(it);
    }
    Pass pass;
    pass.cipherRel = cipherRel;
    pass.plainRel = plainRel;
    if (!look(pass)) return false;

    // 1. Conflicted copies of the folder's name key.
    resolveKeyCopies(pass, result);
    if (pass.changed && !look(pass)) return false;

    // 2. Copies a pass stopped between its renames.
    if (pass.plainNames)
        for (const auto& n : std::vector<std::string>(*pass.plainNames))
            if (temporaryHash(n)) pass.changed |= finishTemporary(pass, n, join(cipherRel, n), result);
    if (pass.changed && !look(pass)) return false;

    // 3. Hidden names.
    resolveHiddenNames(pass, result);
    if (pass.changed && !look(pass)) return false;

    // 4. Sub-folders.
    if (!recursive && !subfolders) return true;
    for (const auto& e : pass.entries) {
        if (!e.directory || !isCipherName(e.name)) continue;
        const std::string sub = join(cipherRel, e.name);
        const auto plain = socket_.decryptPath(sub);
        if (!plain) continue;
        if (subfolders) subfolders->emplace_back(sub, *plain);
        if (recursive) scanFolder(sub, *plain, result, depth + 1);
    }
    return true;
}

bool GocryptfsConflicts::moveToOtherCopy(Pass& pass, const std::string& name, const std::string& folderCipher,
                                         Result& result) {
    const auto moveOne = [&](const std::string& n) {
        const std::string from = join(pass.cipherRel, n);
        const std::string to = join(join(pass.cipherRel, folderCipher), n);
        if (renameNoReplace(cipherPath(from), cipherPath(to)) != 0) {
            if (errno == ENOENT) return false; // another pass moved it
            problem(result, from,
                    "entry " + from + " left as it is: cannot move it to " + to + ": " +
                        std::strerror(errno));
            return false;
        }
        note("entry " + from + " moved to " + to);
        return true;
    };
    if (isLongName(name)) {
        // The record goes first: a record without its name is harmless, a
        // name without its record unreadable.
        const std::string record = name + std::string(longNameSuffix);
        struct stat st {};
        if (::lstat(cipherPath(join(pass.cipherRel, record)).c_str(), &st) == 0 && !moveOne(record))
            return false;
        step("moved");
    }
    return moveOne(name);
}

bool GocryptfsConflicts::resolveHidden(Pass& pass, const std::string& name, Result& result) {
    const std::string where = join(pass.cipherRel, name);
    const auto originals = originalNames(name);
    std::optional<std::string> plain;
    std::string why;
    std::string longOriginal;
    for (const auto& o : originals) {
        if (o == dirIVName || isLongNameRecord(o)) return false; // handled above; records hide nothing
        if (!isCipherName(o)) continue;
        // A marked copy of a name made under another copy's key goes there.
        for (const auto& [oc, on] : pass.others)
            if (!readsUnder(pass.cipherRel, o, pass.cipherRel) &&
                socket_.decryptPath(join(join(pass.cipherRel, oc), o)) && !isLongName(o))
                return moveToOtherCopy(pass, name, oc, result);
        if (auto p = readsUnder(pass.cipherRel, o, pass.cipherRel)) {
            plain = std::move(p);
            break;
        }
        if (isLongName(o) && longOriginal.empty()) longOriginal = o;
        socket_.decryptPath(join(pass.cipherRel, o), &why);
    }
    if (plain) return reveal(pass, name, *plain, false, {}, result);
    if (!longOriginal.empty()) {
        // A long name's copy whose original went with its record (renamed or
        // deleted). A copy of the record tells the name; else a stand-in.
        struct stat st {};
        const bool originalThere =
            ::lstat(cipherPath(join(pass.cipherRel, longOriginal)).c_str(), &st) == 0 ||
            ::lstat(cipherPath(join(pass.cipherRel, longOriginal + std::string(longNameSuffix))).c_str(),
                    &st) == 0;
        if (!originalThere) {
            std::string extension;
            for (const auto& e : pass.entries) {
                const auto names = originalNames(e.name);
                if (std::find(names.begin(), names.end(), longOriginal + std::string(longNameSuffix)) ==
                    names.end())
                    continue;
                auto full = readSmall(cipherPath(join(pass.cipherRel, e.name)), 4096);
                if (!full) continue;
                while (!full->empty() && (full->back() == '\n' || full->back() == '\0'))
                    full->pop_back();
                const auto p = socket_.decryptPath(join(pass.cipherRel, *full));
                if (p && isPlausibleName(lastComponent(*p)))
                    return reveal(pass, name, lastComponent(*p), false, {}, result);
            }
            return reveal(pass, name, {}, true, extension, result);
        }
    }
    if (std::none_of(originals.begin(), originals.end(),
                     [](const std::string& o) { return isCipherName(o); }))
        return false; // not an encrypted name with a mark: not ours to judge
    problem(result, where,
            "conflict copy " + where + " left as it is: its name does not decrypt" +
                (why.empty() ? std::string() : " (" + why + ")"));
    return false;
}

bool GocryptfsConflicts::reveal(Pass& pass, const std::string& copy, const std::string& plainName,
                                bool standIn, const std::string& extension, Result& result) {
    const std::string where = join(pass.cipherRel, copy);
    const fs::path from = cipherPath(where);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return false; // gone meanwhile
    if (S_ISREG(st.st_mode)) {
        // Complete? Nobody writes it, it has stood still, it reads to its end.
        const long long age = nowNs() - mtimeNs(st);
        const long long still = static_cast<long long>(options_.stillMs) * 1000000LL;
        if (age < still || openForWriting(from)) {
            const int ms = age < still ? static_cast<int>((still - age) / 1000000LL) + 1 : options_.stillMs;
            if (std::find(result.waiting.begin(), result.waiting.end(), pass.cipherRel) ==
                result.waiting.end())
                result.waiting.push_back(pass.cipherRel);
            result.waitMs = result.waitMs == 0 ? ms : std::min(result.waitMs, ms);
            return false;
        }
        if (const auto it = unreadable_.find(where);
            it != unreadable_.end() && it->second == std::make_pair(st.st_size, mtimeNs(st))) {
            problem(result, where, "conflict copy " + where + " left as it is: it does not read to its end");
            return false;
        }
        // One like it is shown already (by this computer or another).
        if (!standIn && pass.plainNames) {
            for (const auto& n : *pass.plainNames) {
                bool isCopy = false;
                for (int k = 1; k <= static_cast<int>(pass.plainNames->size()) && !isCopy; ++k)
                    isCopy = n == conflictName(plainName, k);
                if (!isCopy) continue;
                const auto c = socket_.encryptPath(join(pass.plainRel, n));
                if (c && sameContent(from, cipherPath(*c))) {
                    problem(result, where,
                            "conflict copy " + where + " left to the sync client: identical to \"" +
                                join(pass.plainRel, n) + "\", shown already",
                            false);
                    return false;
                }
            }
        }
    }
    // A temporary name, encrypted for this folder; short, so no record.
    const std::string tempPlain =
        std::string(tempPrefix) + hex16(standIn ? std::string("\x01") : plainName) + "-" + randomHex(4);
    std::string why;
    const auto tempCipher = socket_.encryptPath(join(pass.plainRel, tempPlain), &why);
    if (!tempCipher) {
        problem(result, where, "conflict copy " + where + " left as it is: " + why);
        return false;
    }
    const fs::path temp = cipherPath(join(pass.cipherRel, lastComponent(*tempCipher)));
    if (renameNoReplace(from, temp) != 0) {
        if (errno == ENOENT) return false; // another pass took it
        problem(result, where,
                "conflict copy " + where + " left as it is: cannot rename it: " + std::strerror(errno));
        return false;
    }
    step("temporary");
    if (S_ISREG(st.st_mode) && !readsToEnd(plainPath(join(pass.plainRel, tempPlain)), why)) {
        // Half a file (a writer that stopped, a download cut short): back
        // under the client's name, looked at again once it changes.
        if (renameNoReplace(temp, from) != 0)
            note("conflict copy " + where + " stays as \"" + join(pass.plainRel, tempPlain) +
                 "\": " + std::strerror(errno));
        unreadable_[where] = {st.st_size, mtimeNs(st)};
        problem(result, where,
                "conflict copy " + where + " left as it is: it does not read to its end (" + why + ")");
        return true;
    }
    if (!pass.plainNames) pass.plainNames.emplace();
    const std::string original = standIn ? std::string() : plainName;
    return finishTemporary(pass, tempPlain, where, result, &original, extension);
}

bool GocryptfsConflicts::finishTemporary(Pass& pass, const std::string& tempPlain, const std::string& where,
                                         Result& result, const std::string* original,
                                         const std::string& extension) {
    const fs::path plainTemp = plainPath(join(pass.plainRel, tempPlain));
    std::string name;
    bool standIn = false;
    if (original) {
        name = *original;
        standIn = name.empty();
    } else {
        // Left by a pass that stopped: finish it once it is complete. The
        // original is the name whose hash the temporary name carries.
        const auto hash = temporaryHash(tempPlain);
        const auto cipher = socket_.encryptPath(join(pass.plainRel, tempPlain));
        struct stat st {};
        if (!hash || !cipher || ::lstat(cipherPath(*cipher).c_str(), &st) != 0) return false;
        if (S_ISREG(st.st_mode)) {
            const long long age = nowNs() - mtimeNs(st);
            const long long still = static_cast<long long>(options_.stillMs) * 1000000LL;
            if (age < still || openForWriting(cipherPath(*cipher))) {
                if (std::find(result.waiting.begin(), result.waiting.end(), pass.cipherRel) ==
                    result.waiting.end())
                    result.waiting.push_back(pass.cipherRel);
                const int ms =
                    age < still ? static_cast<int>((still - age) / 1000000LL) + 1 : options_.stillMs;
                result.waitMs = result.waitMs == 0 ? ms : std::min(result.waitMs, ms);
                return false;
            }
            std::string why;
            if (!readsToEnd(plainTemp, why)) {
                problem(result, where,
                        "\"" + where + "\" left as it is: it does not read to its end (" + why + ")");
                return false;
            }
        }
        standIn = true;
        for (const auto& n : *pass.plainNames)
            if (!temporaryHash(n) && hex16(n) == *hash) {
                name = n;
                standIn = false;
                break;
            }
    }
    int err = 0;
    for (int n = 1; n <= maxTries; ++n) {
        const std::string target = standIn ? standInName(n, extension) : conflictName(name, n);
        if (renameNoReplace(plainTemp, plainPath(join(pass.plainRel, target))) == 0) {
            const std::string shown = join(pass.plainRel, target);
            note("conflict copy " + where + " renamed; it is now \"" + shown + "\" in the vault" +
                 (standIn ? " (its original name is gone)" : ""));
            pass.madeVisible(result, shown);
            return true;
        }
        err = errno;
        if (err == ENOENT) return true; // another pass finished it
        if (err != EEXIST) break;
    }
    if (original) {
        // Put it back as the client left it.
        const auto tempCipher = socket_.encryptPath(join(pass.plainRel, tempPlain));
        if (!tempCipher || renameNoReplace(cipherPath(*tempCipher), cipherPath(where)) != 0)
            note("conflict copy " + where + " stays as \"" + join(pass.plainRel, tempPlain) +
                 "\": " + std::strerror(errno));
    }
    problem(result, where,
            "conflict copy " + where +
                " left as it is: cannot give it a visible name: " + std::strerror(err));
    return true;
}

bool GocryptfsConflicts::resolveDirIV(Pass& pass, const std::string& copy, Result& result) {
    const std::string where = join(pass.cipherRel, copy);
    // The new sub-folder, made in the image folder with the copy as its key.
    // An empty one (a pass stopped before it moved the key in) is taken.
    std::string folderCipher;
    std::string folderPlain;
    bool made = false;
    for (int n = 1; n <= maxTries && folderCipher.empty(); ++n) {
        const std::string plain = join(pass.plainRel, otherCopyFolderName(n));
        std::string why;
        const auto c = socket_.encryptPath(plain, &why);
        if (!c) {
            problem(result, where, "conflict copy " + where + " left as it is: " + why);
            return false;
        }
        const fs::path dir = cipherPath(*c);
        struct stat st {};
        if (::lstat(dir.c_str(), &st) == 0) {
            std::error_code ec;
            if (S_ISDIR(st.st_mode) && fs::is_empty(dir, ec) && !ec) {
                folderCipher = *c;
                folderPlain = plain;
            }
            continue;
        }
        if (::mkdir(dir.c_str(), 0755) == 0) {
            folderCipher = *c;
            folderPlain = plain;
            made = true;
        } else if (errno != EEXIST) {
            problem(result, where,
                    "conflict copy " + where +
                        " left as it is: cannot make a folder for it: " + std::strerror(errno));
            return false;
        }
    }
    if (folderCipher.empty()) return false;
    step("folder");
    const fs::path keyPath = cipherPath(join(folderCipher, std::string(dirIVName)));
    if (renameNoReplace(cipherPath(where), keyPath) != 0) {
        const int err = errno;
        if (made) ::rmdir(cipherPath(folderCipher).c_str()); // empty, made just now
        if (err == ENOENT) return true;                      // another pass moved it
        problem(result, where,
                "conflict copy " + where + " left as it is: cannot move it: " + std::strerror(err));
        return false;
    }
    step("key");
    note("conflict copy " + where + " of the folder key moved to " +
         join(folderCipher, std::string(dirIVName)) + " (\"" + folderPlain +
         "\" in the vault); the entries named under it follow");
    pass.madeVisible(result, folderPlain);
    return true;
}

} // namespace vaultkit
