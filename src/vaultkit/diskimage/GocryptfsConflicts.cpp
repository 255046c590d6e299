#include "vaultkit/diskimage/GocryptfsConflicts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <openssl/rand.h>
#include <regex>
#include <sstream>
#include <stdio.h>
#include <sys/stat.h>
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
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) throw std::runtime_error("no random bytes");
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
    return name.size() > longNameSuffix.size() && name.substr(name.size() - longNameSuffix.size()) == longNameSuffix &&
           GocryptfsConflicts::isCipherName(name.substr(0, name.size() - longNameSuffix.size())) &&
           name.substr(0, longNamePrefix.size()) == longNamePrefix;
}

bool isLongName(std::string_view name) {
    return name.substr(0, longNamePrefix.size()) == longNamePrefix && GocryptfsConflicts::isCipherName(name);
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
        // "NAME (conflicted copy 2024-05-01 101010)"
        {"Nextcloud/ownCloud", R"( \(conflicted copy \d{4}-\d{2}-\d{2} \d{6}\))"},
        // "NAME_conflict-20240501-101010" (ownCloud)
        {"ownCloud", R"(_conflict-\d{8}-\d{6})"},
        // "NAME.sync-conflict-20240501-101010-ABCDEFG"
        {"Syncthing", R"(\.sync-conflict-\d{8}-\d{6}-[A-Z0-9]{7})"},
        // "NAME (SFConflict ann@example.org 2024-05-01-10-10-10)"
        {"Seafile", R"( \(SFConflict [^()]*\))"},
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
        for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
            const auto pos = static_cast<std::size_t>(it->position());
            std::string candidate = text.substr(0, pos) + text.substr(pos + static_cast<std::size_t>(it->length()));
            if (!candidate.empty() && std::find(out.begin(), out.end(), candidate) == out.end())
                out.push_back(std::move(candidate));
        }
    }
    return out;
}

bool GocryptfsConflicts::isCipherName(std::string_view name) {
    if (name.substr(0, longNamePrefix.size()) == longNamePrefix) {
        const auto hash = name.substr(longNamePrefix.size());
        return hash.size() == 43 && std::all_of(hash.begin(), hash.end(), isBase64UrlChar);
    }
    if (name.empty() || name.size() > 255 || !std::all_of(name.begin(), name.end(), isBase64UrlChar)) return false;
    const std::size_t bytes = name.size() * 3 / 4;
    return name.size() % 4 != 1 && bytes >= 16 && bytes % 16 == 0 && (bytes * 4 + 2) / 3 == name.size();
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

GocryptfsConflicts::GocryptfsConflicts(fs::path image, fs::path mountPoint, fs::path controlSocket, Log log)
    : image_(std::move(image)), mountPoint_(std::move(mountPoint)), socket_(std::move(controlSocket)),
      log_(std::move(log)) {}

fs::path GocryptfsConflicts::cipherPath(const std::string& rel) const {
    return rel.empty() ? image_ : image_ / rel;
}

fs::path GocryptfsConflicts::plainPath(const std::string& rel) const {
    return rel.empty() ? mountPoint_ : mountPoint_ / rel;
}

void GocryptfsConflicts::note(const std::string& line) const {
    if (log_) log_(line);
}

void GocryptfsConflicts::problem(Result& result, const std::string& key, const std::string& line) {
    if (!reported_.insert(key).second) return;
    result.problems.push_back(line);
    note(line);
}

GocryptfsConflicts::Result GocryptfsConflicts::resolve() {
    Result result;
    scanFolder("", "", result, 0);
    return result;
}

GocryptfsConflicts::Result GocryptfsConflicts::resolve(const std::vector<Folder>& folders) {
    Result result;
    for (const auto& f : folders) {
        std::string plain;
        if (!f.cipherPath.empty()) {
            const auto p = socket_.decryptPath(f.cipherPath);
            if (!p) continue;
            plain = *p;
        }
        scanFolder(f.cipherPath, plain, result, 0, f.recursive);
    }
    return result;
}

void GocryptfsConflicts::scanFolder(const std::string& cipherRel, const std::string& plainRel, Result& result,
                                    int depth, bool recursive) {
    if (depth > maxDepth) return;
    auto entries = listFolder(cipherPath(cipherRel));
    if (!entries) return;

    // 1. Conflicted copies of the folder's name key.
    bool changed = false;
    const auto current = readSmall(cipherPath(join(cipherRel, std::string(dirIVName))), dirIVBytes);
    for (const auto& e : *entries) {
        if (e.name == dirIVName) continue;
        const auto originals = unmarkedNames(e.name);
        if (std::find(originals.begin(), originals.end(), dirIVName) == originals.end()) continue;
        const std::string where = join(cipherRel, e.name);
        const auto copy = e.regular ? readSmall(cipherPath(where), dirIVBytes) : std::nullopt;
        if (!copy || copy->size() != dirIVBytes) {
            problem(result, where, "conflict copy " + where + " left as it is: not a folder name key");
            continue;
        }
        if (current && *copy == *current) {
            problem(result, where, "conflict copy " + where + " left as it is: identical to the key in use");
            continue;
        }
        if (!current) {
            // The key in use is gone and this copy is all there is: it becomes
            // the folder's key again.
            const std::string key = join(cipherRel, std::string(dirIVName));
            if (renameNoReplace(cipherPath(where), cipherPath(key)) == 0) {
                note("conflict copy " + where + " renamed to " + key + ": the folder had no key");
                changed = true;
            } else {
                problem(result, where, "conflict copy " + where + " left as it is: cannot rename it to " + key +
                                           ": " + std::strerror(errno));
            }
            break;
        }
        changed |= resolveDirIV(cipherRel, plainRel, e.name, result);
    }
    if (changed) {
        entries = listFolder(cipherPath(cipherRel));
        if (!entries) return;
    }

    // 2. Conflict copies of files and folders.
    changed = false;
    for (const auto& e : *entries) {
        if (e.name == dirIVName || e.name == "gocryptfs.conf") continue;
        const auto originals = unmarkedNames(e.name);
        if (originals.empty()) continue;
        const std::string where = join(cipherRel, e.name);
        // A mark made only of Base64 characters may be part of a real name.
        if (isCipherName(e.name) && socket_.decryptPath(where)) continue;
        std::optional<std::string> plain;
        std::string why;
        bool recordCopy = false;
        for (const auto& o : originals) {
            if (o == dirIVName) {
                recordCopy = true; // handled above
                break;
            }
            if (isLongNameRecord(o)) {
                recordCopy = true;
                break;
            }
            if (!isCipherName(o)) continue;
            // A long name's conflict copy decrypts through the original's record.
            if (auto p = socket_.decryptPath(join(cipherRel, o), &why)) {
                plain = lastComponent(*p);
                break;
            }
        }
        if (recordCopy) continue; // a long name's record: identical by construction, hides nothing
        if (!plain) {
            if (std::none_of(originals.begin(), originals.end(), [](const std::string& o) { return isCipherName(o); }))
                continue; // not an encrypted name with a mark: not ours to judge
            problem(result, where,
                    "conflict copy " + where + " left as it is: its name does not decrypt" +
                        (why.empty() ? std::string() : " (" + why + ")"));
            continue;
        }
        changed |= resolveName(cipherRel, plainRel, e.name, *plain, result);
    }
    if (changed) {
        entries = listFolder(cipherPath(cipherRel));
        if (!entries) return;
    }

    // 3. Sub-folders.
    if (!recursive) return;
    for (const auto& e : *entries) {
        if (!e.directory || !isCipherName(e.name)) continue;
        const std::string sub = join(cipherRel, e.name);
        const auto plain = socket_.decryptPath(sub);
        if (!plain) continue;
        scanFolder(sub, *plain, result, depth + 1);
    }
}

bool GocryptfsConflicts::resolveName(const std::string& cipherRel, const std::string& plainRel,
                                     const std::string& copy, const std::string& plainName, Result& result) {
    const std::string where = join(cipherRel, copy);
    // A temporary name, encrypted for this folder; short, so no record.
    const std::string tempPlain = ".hushcoffer-conflict-" + randomHex(8);
    std::string why;
    const auto tempCipher = socket_.encryptPath(join(plainRel, tempPlain), &why);
    if (!tempCipher) {
        problem(result, where, "conflict copy " + where + " left as it is: " + why);
        return false;
    }
    const fs::path from = cipherPath(where);
    const fs::path temp = cipherPath(join(cipherRel, lastComponent(*tempCipher)));
    if (renameNoReplace(from, temp) != 0) {
        problem(result, where,
                "conflict copy " + where + " left as it is: cannot rename it: " + std::strerror(errno));
        return false;
    }
    const fs::path plainTemp = plainPath(join(plainRel, tempPlain));
    int err = 0;
    for (int n = 1; n <= maxTries; ++n) {
        const std::string target = conflictName(plainName, n);
        if (renameNoReplace(plainTemp, plainPath(join(plainRel, target))) == 0) {
            const std::string shown = join(plainRel, target);
            note("conflict copy " + where + " renamed; it is now \"" + shown + "\" in the vault");
            result.madeVisible.push_back(shown);
            if (std::find(result.folders.begin(), result.folders.end(), plainRel) == result.folders.end())
                result.folders.push_back(plainRel);
            return true;
        }
        err = errno;
        if (err != EEXIST) break;
    }
    // Put it back as the client left it.
    if (renameNoReplace(temp, from) != 0)
        note("conflict copy " + where + " stays as " + join(cipherRel, lastComponent(*tempCipher)) +
             " (shown as \"" + join(plainRel, tempPlain) + "\"): " + std::strerror(errno));
    problem(result, where,
            "conflict copy " + where + " left as it is: cannot give it a visible name: " + std::strerror(err));
    return false;
}

bool GocryptfsConflicts::resolveDirIV(const std::string& cipherRel, const std::string& plainRel,
                                      const std::string& copy, Result& result) {
    const std::string where = join(cipherRel, copy);
    // The new sub-folder, made in the image folder with the copy as its key.
    std::string folderCipher;
    std::string folderPlain;
    for (int n = 1; n <= maxTries && folderCipher.empty(); ++n) {
        const std::string plain = join(plainRel, otherCopyFolderName(n));
        std::string why;
        const auto c = socket_.encryptPath(plain, &why);
        if (!c) {
            problem(result, where, "conflict copy " + where + " left as it is: " + why);
            return false;
        }
        const fs::path dir = cipherPath(*c);
        struct stat st {};
        if (::lstat(plainPath(plain).c_str(), &st) == 0) continue;
        if (::mkdir(dir.c_str(), 0755) == 0) {
            folderCipher = *c;
            folderPlain = plain;
        } else if (errno != EEXIST) {
            problem(result, where,
                    "conflict copy " + where + " left as it is: cannot make a folder for it: " +
                        std::strerror(errno));
            return false;
        }
    }
    if (folderCipher.empty()) return false;
    const fs::path keyPath = cipherPath(join(folderCipher, std::string(dirIVName)));
    if (renameNoReplace(cipherPath(where), keyPath) != 0) {
        const int err = errno;
        ::rmdir(cipherPath(folderCipher).c_str()); // empty, made just now
        problem(result, where,
                "conflict copy " + where + " left as it is: cannot move it: " + std::strerror(err));
        return false;
    }
    note("conflict copy " + where + " of the folder key moved to " + join(folderCipher, std::string(dirIVName)) +
         " (\"" + folderPlain + "\" in the vault)");
    result.madeVisible.push_back(folderPlain);
    if (std::find(result.folders.begin(), result.folders.end(), plainRel) == result.folders.end())
        result.folders.push_back(plainRel);

    // Every entry named under the other key moves in beside it.
    const auto entries = listFolder(cipherPath(cipherRel));
    if (!entries) return true;
    const std::string folderName = lastComponent(folderCipher);
    const auto readsHere = [&](const std::string& name) { return socket_.decryptPath(join(cipherRel, name)).has_value(); };
    const auto readsThere = [&](const std::string& name) -> bool {
        if (isLongName(name)) {
            const auto full = readSmall(cipherPath(join(cipherRel, name + std::string(longNameSuffix))), 4096);
            return full && socket_.decryptPath(join(folderCipher, *full)).has_value();
        }
        return socket_.decryptPath(join(folderCipher, name)).has_value();
    };
    int moved = 0;
    for (const auto& e : *entries) {
        if (e.name == folderName || e.name == dirIVName || e.name == "gocryptfs.conf" || isLongNameRecord(e.name))
            continue;
        bool belongs = false;
        if (isCipherName(e.name)) {
            belongs = !readsHere(e.name) && readsThere(e.name);
        } else {
            // A marked copy of a name made under the other key.
            for (const auto& o : unmarkedNames(e.name))
                if (isCipherName(o) && !readsHere(o) && readsThere(o)) belongs = true;
        }
        if (!belongs) continue;
        const auto moveOne = [&](const std::string& name) {
            const std::string from = join(cipherRel, name);
            const std::string to = join(folderCipher, name);
            if (renameNoReplace(cipherPath(from), cipherPath(to)) != 0) {
                problem(result, from, "entry " + from + " left as it is: cannot move it to " + to + ": " +
                                          std::strerror(errno));
                return false;
            }
            note("entry " + from + " moved to " + to);
            return true;
        };
        if (isLongName(e.name)) {
            const std::string record = e.name + std::string(longNameSuffix);
            struct stat st {};
            // The record goes first: a name without its record is unreadable.
            if (::lstat(cipherPath(join(cipherRel, record)).c_str(), &st) == 0 && !moveOne(record)) continue;
        }
        if (moveOne(e.name)) ++moved;
    }
    note(std::to_string(moved) + " entries named under the other key of " + (plainRel.empty() ? "the top folder" : "\"" + plainRel + "\"") +
         " are now in \"" + folderPlain + "\"");
    return true;
}

} // namespace vaultkit
