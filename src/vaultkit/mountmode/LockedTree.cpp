#include "vaultkit/mountmode/LockedTree.h"

#include "vaultkit/process/WholeFile.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace vaultkit {

namespace {

constexpr std::string_view kHeader = "hushcoffer-locked-tree 1 ";
constexpr std::string_view kSumTag = "sha256 ";
// A folder whose ctime is this close to the moment it was read may change
// again within the same timestamp tick unseen: it is read again next time.
constexpr long long kSettleNanos = 1'000'000'000;

std::mutex hookMutex;
LockedTree::ReadHook readHook;

struct Stamps {
    unsigned long long ino = 0;
    long long mtimeSec = 0;
    long long mtimeNsec = 0;
    long long ctimeSec = 0;
    long long ctimeNsec = 0;
    bool operator==(const Stamps&) const = default;
};

struct Folder {
    Stamps stamps;
    bool recheck = false;
};

using Record = std::map<std::string, Folder>; // relative encrypted path -> folder ("" is the root)

std::optional<Stamps> folderStamps(const fs::path& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    Stamps s;
    s.ino = static_cast<unsigned long long>(st.st_ino);
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
    s.ctimeSec = st.st_ctim.tv_sec;
    s.ctimeNsec = st.st_ctim.tv_nsec;
    return s;
}

fs::path folderPath(const fs::path& imageDir, const std::string& rel) {
    return rel.empty() ? imageDir : imageDir / rel;
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &len, EVP_sha256(), nullptr) != 1) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < len; ++i) {
        text += hex[out[i] >> 4];
        text += hex[out[i] & 15];
    }
    return text;
}

// Paths go on one line each: bytes that would break the line (and '%')
// are written as %XX. The root is ".", a name no folder can have.
std::string escape(const std::string& rel) {
    if (rel.empty()) return ".";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : rel) {
        if (c <= 0x20 || c == '%' || c == 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> unescape(std::string_view text) {
    if (text == ".") return std::string();
    if (text.empty()) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c == 0x7f) return std::nullopt;
        if (c != '%') {
            out += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = hexValue(text[i + 1]);
        const int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    // a path below the image: no absolute path, no empty, "." or ".." part
    if (out.front() == '/' || out.back() == '/') return std::nullopt;
    std::size_t start = 0;
    while (start <= out.size()) {
        const std::size_t end = std::min(out.find('/', start), out.size());
        const std::string_view part(out.data() + start, end - start);
        if (part.empty() || part == "." || part == "..") return std::nullopt;
        start = end + 1;
    }
    return out;
}

// A decimal number without sign, all of `text`.
bool parseNumber(std::string_view text, unsigned long long& value) {
    if (text.empty() || text.size() > 20) return false;
    unsigned long long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned long long next = v * 10 + static_cast<unsigned>(c - '0');
        if (next / 10 != v) return false;
        v = next;
    }
    value = v;
    return true;
}

bool parseTime(std::string_view text, long long& sec, long long& nsec) {
    const std::size_t dot = text.find('.');
    unsigned long long s = 0, n = 0;
    if (dot == std::string_view::npos || !parseNumber(text.substr(0, dot), s) ||
        !parseNumber(text.substr(dot + 1), n) || n >= 1'000'000'000ULL || s > (1ULL << 62))
        return false;
    sec = static_cast<long long>(s);
    nsec = static_cast<long long>(n);
    return true;
}

std::vector<std::string_view> splitSpaces(std::string_view line) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        parts.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The record in `file`; nothing when it is missing or does not read whole.
std::optional<Record> load(const fs::path& file) {
    if (file.empty()) return std::nullopt;
    const auto text = WholeFile::read(file.c_str(), {.noFollow = true});
    if (!text || text->empty() || text->back() != '\n') return std::nullopt;
    const std::size_t sumLine = text->rfind('\n', text->size() - 2);
    if (sumLine == std::string::npos) return std::nullopt;
    const std::string_view body(text->data(), sumLine + 1);
    const std::string_view last(text->data() + sumLine + 1, text->size() - sumLine - 2);
    if (last.substr(0, kSumTag.size()) != kSumTag || last.substr(kSumTag.size()) != sha256Hex(body))
        return std::nullopt;
    if (body.substr(0, kHeader.size()) != kHeader) return std::nullopt;
    std::size_t pos = body.find('\n');
    unsigned long long count = 0;
    if (!parseNumber(body.substr(kHeader.size(), pos - kHeader.size()), count)) return std::nullopt;
    Record record;
    ++pos;
    while (pos < body.size()) {
        const std::size_t end = body.find('\n', pos);
        const auto parts = splitSpaces(body.substr(pos, end - pos));
        pos = end + 1;
        if (parts.size() != 5) return std::nullopt;
        Folder folder;
        unsigned long long recheck = 0;
        if (!parseNumber(parts[0], folder.stamps.ino) ||
            !parseTime(parts[1], folder.stamps.mtimeSec, folder.stamps.mtimeNsec) ||
            !parseTime(parts[2], folder.stamps.ctimeSec, folder.stamps.ctimeNsec) ||
            !parseNumber(parts[3], recheck) || recheck > 1)
            return std::nullopt;
        folder.recheck = recheck == 1;
        auto rel = unescape(parts[4]);
        if (!rel || !record.emplace(std::move(*rel), folder).second) return std::nullopt;
    }
    if (record.size() != count || !record.contains("")) return std::nullopt;
    return record;
}

std::string encode(const Record& record) {
    std::string text(kHeader);
    text += std::to_string(record.size());
    text += '\n';
    char line[128];
    for (const auto& [rel, folder] : record) {
        std::snprintf(line, sizeof line, "%llu %lld.%09lld %lld.%09lld %d ", folder.stamps.ino,
                      folder.stamps.mtimeSec, folder.stamps.mtimeNsec, folder.stamps.ctimeSec,
                      folder.stamps.ctimeNsec, folder.recheck ? 1 : 0);
        text += line;
        text += escape(rel);
        text += '\n';
    }
    const std::string sum = sha256Hex(text);
    if (sum.empty()) return {};
    text += kSumTag;
    text += sum;
    text += '\n';
    return text;
}

// Replaces `file` whole: a reader finds the old record or the new one. Not
// flushed: a record lost or cut by a power failure fails its checksum and is
// then no record, which concludes nothing.
bool writeReplacing(const fs::path& file, const std::string& bytes) {
    // (a name of this process: two locks at once do not write into one file)
    const fs::path temp = file.string() + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool ok = ::close(fd) == 0 && done == bytes.size();
    if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

long long nowNanos() {
    timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// Lists `rel` and adds the subfolders the record does not hold yet, to be
// read in turn. False when the folder cannot be listed.
bool readFolder(const fs::path& imageDir, const std::string& rel, Record& record,
                std::vector<std::string>& pending) {
    const fs::path dir = folderPath(imageDir, rel);
    {
        std::lock_guard lock(hookMutex);
        if (readHook) readHook(dir);
    }
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
        std::string child = rel.empty() ? std::string(name) : rel + "/" + std::string(name);
        if (record.contains(child)) continue;
        const auto stamps = folderStamps(imageDir / child);
        if (!stamps) continue; // not a folder, or gone already
        record.emplace(child, Folder{*stamps, true});
        pending.push_back(std::move(child));
    }
    ::closedir(d);
    return true;
}

} // namespace

LockedTree::Finding LockedTree::compare(const fs::path& imageDir, const fs::path& file) {
    const auto record = load(file);
    if (!record) return Finding::unknown;
    // The root first: an image folder that cannot be reached (a drive not
    // there) tells nothing about what was written to it.
    const auto root = folderStamps(imageDir);
    if (!root) return Finding::unknown;
    if (*root != record->at("").stamps) return Finding::changed;
    for (const auto& [rel, folder] : *record) {
        if (rel.empty()) continue;
        const auto now = folderStamps(imageDir / rel);
        if (!now || *now != folder.stamps) return Finding::changed;
    }
    return Finding::unchanged;
}

bool LockedTree::record(const fs::path& imageDir, const fs::path& file, const fs::path& previous) {
    auto base = load(file);
    if (!base) base = load(previous);
    Record record;
    std::vector<std::string> pending;
    if (base) {
        for (auto& [rel, folder] : *base) {
            const auto now = folderStamps(folderPath(imageDir, rel));
            if (!now) continue; // gone: dropped (its subfolders fail here too)
            const bool again = *now != folder.stamps || folder.recheck;
            if (again) pending.push_back(rel);
            record.emplace(rel, Folder{*now, again});
        }
    }
    if (!record.contains("")) {
        // no record yet: the walk from the top
        record.clear();
        pending.clear();
        const auto root = folderStamps(imageDir);
        if (!root) return false;
        record.emplace("", Folder{*root, true});
        pending.push_back("");
    }
    // Folders to read are marked `recheck` until read; each one read keeps the
    // mark only when it changed too shortly before the read.
    while (!pending.empty()) {
        const std::string rel = pending.back();
        pending.pop_back();
        const long long readAt = nowNanos();
        if (!readFolder(imageDir, rel, record, pending)) {
            if (rel.empty()) return false;
            continue; // gone while reading: still marked, so looked at again next time
        }
        Folder& folder = record.at(rel);
        const long long changedAt = folder.stamps.ctimeSec * 1'000'000'000LL + folder.stamps.ctimeNsec;
        folder.recheck = changedAt > readAt - kSettleNanos;
    }
    const std::string text = encode(record);
    if (text.empty() || !writeReplacing(file, text)) return false;
    if (!previous.empty()) ::unlink(previous.c_str());
    return true;
}

void LockedTree::suspend(const fs::path& file, const fs::path& previous) {
    if (::rename(file.c_str(), previous.c_str()) != 0 && errno != ENOENT) ::unlink(file.c_str());
}

void LockedTree::setReadHookForTesting(ReadHook hook) {
    std::lock_guard lock(hookMutex);
    readHook = std::move(hook);
}

} // namespace vaultkit
