#include "vaultkit/backup/SnapshotManifest.h"

#include <nlohmann/json.hpp>
#include <openssl/rand.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <stdexcept>

namespace vaultkit {

using nlohmann::json;

namespace {

const char* typeName(SnapshotManifest::Type t) {
    switch (t) {
    case SnapshotManifest::Type::file:
        return "file";
    case SnapshotManifest::Type::directory:
        return "dir";
    case SnapshotManifest::Type::link:
        return "link";
    }
    return "file";
}

bool isHash(std::string_view s) {
    if (s.size() != 64) return false;
    for (const char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool isSafePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part = path.substr(start, slash == path.npos ? path.npos : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (part.find('\0') != part.npos) return false;
        if (slash == path.npos) return true;
        start = slash + 1;
    }
}

// The paths a snapshot may hold at the top of the vault directory.
bool isTopLevel(std::string_view path) {
    return path == "vault.json" || path == "vault.json.bak" || path == "README.txt" ||
           path == "data.gocryptfs";
}

[[noreturn]] void bad(const std::string& what) {
    throw std::runtime_error("snapshot manifest: " + what);
}

template <typename T> T field(const json& j, const char* name) {
    const auto it = j.find(name);
    if (it == j.end()) bad(std::string("no ") + name);
    try {
        return it->get<T>();
    } catch (const json::exception&) {
        bad(std::string("bad ") + name);
    }
}

template <typename T> T optionalField(const json& j, const char* name, T fallback) {
    const auto it = j.find(name);
    if (it == j.end()) return fallback;
    try {
        return it->get<T>();
    } catch (const json::exception&) {
        bad(std::string("bad ") + name);
    }
}

} // namespace

std::size_t SnapshotManifest::bandCount(std::uint64_t size) {
    return static_cast<std::size_t>((size + bandBytes - 1) / bandBytes);
}

std::size_t SnapshotManifest::bandSize(std::uint64_t size, std::size_t index) {
    const std::uint64_t start = static_cast<std::uint64_t>(index) * bandBytes;
    if (start >= size) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(bandBytes, size - start));
}

std::uint64_t SnapshotManifest::totalBytes() const {
    std::uint64_t total = 0;
    for (const auto& e : entries)
        if (e.type == Type::file) total += e.size;
    return total;
}

std::size_t SnapshotManifest::fileCount() const {
    std::size_t n = 0;
    for (const auto& e : entries)
        if (e.type == Type::file) ++n;
    return n;
}

std::string SnapshotManifest::encode() const {
    json list = json::array();
    for (const auto& e : entries) {
        json j{{"path", e.path}, {"type", typeName(e.type)}, {"mode", e.mode}, {"mtime", e.mtimeNs}};
        if (e.type == Type::file) {
            j["size"] = e.size;
            j["ctime"] = e.ctimeNs;
            j["inode"] = e.inode;
            j["bands"] = e.bands;
        } else if (e.type == Type::link) {
            j["target"] = e.target;
        }
        list.push_back(std::move(j));
    }
    json doc{{"format", format},
             {"id", id},
             {"time", time},
             {"vaultId", vaultId},
             {"vaultName", vaultName},
             {"bandBytes", bandBytes},
             {"entries", std::move(list)}};
    return doc.dump(0) + "\n";
}

SnapshotManifest SnapshotManifest::decode(std::string_view text) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception&) {
        bad("not JSON");
    }
    if (!doc.is_object()) bad("not an object");
    if (field<int>(doc, "format") != format) bad("unknown format");
    if (field<std::uint64_t>(doc, "bandBytes") != bandBytes) bad("unknown band size");
    SnapshotManifest m;
    m.id = field<std::string>(doc, "id");
    const auto t = timeOfId(m.id);
    if (!t) bad("bad id");
    m.timeMs = *t;
    m.time = field<std::string>(doc, "time");
    m.vaultId = optionalField<std::string>(doc, "vaultId", "");
    m.vaultName = optionalField<std::string>(doc, "vaultName", "");
    const auto it = doc.find("entries");
    if (it == doc.end() || !it->is_array()) bad("no entries");
    std::set<std::string> seen, directories;
    for (const auto& j : *it) {
        if (!j.is_object()) bad("an entry is not an object");
        Entry e;
        e.path = field<std::string>(j, "path");
        if (!isSafePath(e.path)) bad("unsafe path " + e.path);
        const auto slash = e.path.rfind('/');
        if (slash == std::string::npos) {
            if (!isTopLevel(e.path)) bad("unexpected entry " + e.path);
        } else if (!directories.count(e.path.substr(0, slash)) || e.path.rfind("data.gocryptfs/", 0) != 0) {
            bad("entry " + e.path + " without its folder");
        }
        if (!seen.insert(e.path).second) bad("entry " + e.path + " twice");
        const std::string type = field<std::string>(j, "type");
        e.mode = field<std::uint32_t>(j, "mode") & 07777;
        e.mtimeNs = field<std::int64_t>(j, "mtime");
        if (type == "file") {
            e.type = Type::file;
            e.size = field<std::uint64_t>(j, "size");
            e.ctimeNs = optionalField<std::int64_t>(j, "ctime", 0);
            e.inode = optionalField<std::uint64_t>(j, "inode", 0);
            e.bands = field<std::vector<std::string>>(j, "bands");
            if (e.bands.size() != bandCount(e.size))
                bad("entry " + e.path + " has the wrong number of bands");
            for (const auto& b : e.bands)
                if (!isHash(b)) bad("entry " + e.path + " has a bad band name");
        } else if (type == "dir") {
            e.type = Type::directory;
            directories.insert(e.path);
        } else if (type == "link") {
            e.type = Type::link;
            e.target = field<std::string>(j, "target");
            if (e.target.empty() || e.target.find('\0') != std::string::npos)
                bad("entry " + e.path + " has a bad target");
        } else {
            bad("entry " + e.path + " has an unknown type");
        }
        if (slash == std::string::npos) {
            const bool folder = e.path == "data.gocryptfs";
            if (e.type != (folder ? Type::directory : Type::file))
                bad("entry " + e.path + " has the wrong type");
        }
        m.entries.push_back(std::move(e));
    }
    return m;
}

std::string SnapshotManifest::formatTime(std::int64_t timeMs) {
    const std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(timeMs % 1000));
    return text;
}

std::string SnapshotManifest::makeId(std::int64_t timeMs) {
    std::string t = formatTime(timeMs); // 2026-12-11T07:22:03.123Z
    std::string id;
    for (const char c : t)
        if (c != ':') id += c;
    unsigned char random[4];
    if (RAND_bytes(random, sizeof random) != 1) throw std::runtime_error("no random numbers");
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", random[0], random[1], random[2], random[3]);
    return id + "-" + hex;
}

std::optional<std::int64_t> SnapshotManifest::timeOfId(std::string_view id) {
    // 2026-12-11T072203.123Z-1a2b3c4d
    if (id.size() != 31) return std::nullopt;
    const std::string s(id);
    int y, mo, d, h, mi, sec, ms;
    char tail[16] = {};
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d%2d%2d.%3dZ-%8[0-9a-f]", &y, &mo, &d, &h, &mi, &sec, &ms,
                    tail) != 8)
        return std::nullopt;
    if (std::string_view(tail).size() != 8 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[17] != '.' ||
        s[21] != 'Z' || s[22] != '-')
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || y < 1970)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    return static_cast<std::int64_t>(::timegm(&tm)) * 1000 + ms;
}

} // namespace vaultkit
