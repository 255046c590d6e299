#include "vaultkit/mountmode/SyncExclusion.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/ConfigStore.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <system_error>

namespace fs = std::filesystem;

namespace vaultkit {

namespace {

constexpr std::string_view kStIgnore = ".stignore";
constexpr std::string_view kComment =
    "// Hushcoffer: a vault's decrypted folder is never synced, only its hidden vault directory";

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

bool readFile(const fs::path& p, std::string& out) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

bool present(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

// The pattern in force in this ignore file or one it includes (a few levels
// deep; a loop of includes ends there).
bool inForce(const fs::path& file, std::string_view pattern, int depth) {
    std::string text;
    if (depth > 4 || !readFile(file, text)) return false;
    if (SyncExclusion::holdsLine(text, pattern)) return true;
    for (const auto& inc : SyncExclusion::includes(text)) {
        const fs::path p = fs::path(inc).is_absolute() ? fs::path(inc) : file.parent_path() / inc;
        if (inForce(p, pattern, depth + 1)) return true;
    }
    return false;
}

} // namespace

std::string SyncExclusion::syncthingPattern(const fs::path& relative) {
    std::string out = "/";
    for (const char c : relative.generic_string()) {
        if (c == '\\' || c == '*' || c == '?' || c == '[' || c == ']' || c == '{' || c == '}') out += '\\';
        out += c;
    }
    return out;
}

bool SyncExclusion::holdsLine(std::string_view text, std::string_view pattern) {
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t end = text.find('\n', pos);
        const auto line =
            trimmed(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        if (line == pattern) return true;
        if (end == std::string_view::npos) break;
        pos = end + 1;
    }
    return false;
}

std::vector<std::string> SyncExclusion::includes(std::string_view text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        auto line =
            trimmed(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        if (line.starts_with("#include")) {
            auto name = trimmed(line.substr(8));
            if (!name.empty()) out.emplace_back(name);
        }
        if (end == std::string_view::npos) break;
        pos = end + 1;
    }
    return out;
}

SyncExclusion::Result SyncExclusion::apply(const fs::path& visibleFolder) {
    Result result;
    const fs::path folder = visibleFolder.lexically_normal();
    for (fs::path root = folder.parent_path(); !root.empty(); root = root.parent_path()) {
        if (present(root / ".stfolder")) {
            const fs::path ignore = root / kStIgnore;
            const std::string pattern = syncthingPattern(folder.lexically_relative(root));
            Result::Entry entry{"Syncthing", ignore, false};
            if (!inForce(ignore, pattern, 0)) {
                std::string text;
                if (present(ignore) && !readFile(ignore, text))
                    throw VaultError::io("cannot read " + ignore.string() +
                                         " to keep Syncthing out of the vault");
                if (!text.empty() && text.back() != '\n') text += '\n';
                text += std::string(kComment) + '\n' + pattern + '\n';
                struct stat st {};
                const mode_t mode = ::stat(ignore.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
                try {
                    ConfigStore::writeAtomically(ignore, text, mode);
                } catch (const std::system_error& e) {
                    throw VaultError::io(std::string("cannot keep Syncthing out of the vault: ") + e.what());
                }
                entry.written = true;
            }
            result.entries.push_back(std::move(entry));
        }
        if (root == root.root_path()) break;
    }
    return result;
}

} // namespace vaultkit
