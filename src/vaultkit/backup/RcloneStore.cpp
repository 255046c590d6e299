#include "vaultkit/backup/RcloneStore.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"

#include <openssl/rand.h>

#include <cstdio>
#include <sstream>

namespace vaultkit {

namespace {

// Time limits of one rclone run: an object is at most one band (1 MiB) or a
// manifest; a listing may be long on a large store.
constexpr double kObjectSeconds = 300;
constexpr double kListSeconds = 1800;

// rclone's exit statuses for "directory not found" and "file not found".
constexpr int kDirectoryNotFound = 3;
constexpr int kFileNotFound = 4;

// Common options: quiet apart from errors, no progress, no interaction.
std::vector<std::string> withOptions(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--quiet", "--ask-password=false"});
    return args;
}

std::string randomSuffix() {
    unsigned char bytes[6];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw VaultError::io("no random numbers");
    char text[13];
    for (int i = 0; i < 6; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' '))
        t.pop_back();
    const auto nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

} // namespace

RcloneStore::RcloneStore(std::string remotePath, std::string tool)
    : remote_(std::move(remotePath))
    , tool_(std::move(tool)) {
    while (remote_.size() > 1 && remote_.back() == '/')
        remote_.pop_back();
    if (remote_.empty()) throw VaultError::io("an rclone store needs a remote path (rclone:REMOTE:PATH)");
}

std::string RcloneStore::pathOf(const std::string& key) const {
    if (!isValidKey(key)) throw VaultError::io("not a key of a backup store: " + key);
    return joined(key);
}

std::string RcloneStore::joined(const std::string& relative) const {
    const char last = remote_.back();
    return last == ':' || last == '/' ? remote_ + relative : remote_ + "/" + relative;
}

void RcloneStore::fail(const std::string& what, const std::string& key, const std::string& output) const {
    std::string text = what + " " + key + " on " + describe();
    const std::string detail = lastLine(output);
    if (!detail.empty()) text += ": " + detail;
    throw VaultError::io(text);
}

void RcloneStore::put(const std::string& key, std::string_view bytes) {
    const std::string target = pathOf(key);
    const auto slash = key.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : key.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? key : key.substr(slash + 1);
    const std::string temp = joined(folder + "." + name + ".tmp-" + randomSuffix());
    auto r =
        Exec::runSync(tool_, withOptions({"rcat", temp}), Bytes(bytes.begin(), bytes.end()), kObjectSeconds);
    if (r.status != 0) fail("cannot store", key, r.stderrText);
    r = Exec::runSync(tool_, withOptions({"moveto", temp, target}), std::nullopt, kObjectSeconds);
    if (r.status != 0) {
        Exec::runSync(tool_, withOptions({"deletefile", temp}), std::nullopt, kObjectSeconds);
        fail("cannot store", key, r.stderrText);
    }
}

std::optional<std::string> RcloneStore::get(const std::string& key) {
    if (!exists(key)) return std::nullopt;
    auto r = Exec::runSync(tool_, withOptions({"cat", pathOf(key)}), std::nullopt, kObjectSeconds);
    if (r.status == kFileNotFound || r.status == kDirectoryNotFound) return std::nullopt;
    if (r.status != 0) fail("cannot read", key, r.stderrText);
    return std::string(r.stdoutBytes.begin(), r.stdoutBytes.end());
}

std::vector<std::string> RcloneStore::list(const std::string& prefix) {
    std::vector<std::string> keys;
    std::string folder = prefix;
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    const std::string where = folder.empty() ? remote_ : pathOf(folder);
    auto r =
        Exec::runSync(tool_, withOptions({"lsf", "-R", "--files-only", where}), std::nullopt, kListSeconds);
    if (r.status == kDirectoryNotFound) return keys;
    if (r.status != 0) fail("cannot list", folder.empty() ? "the store" : folder, r.stderrText);
    std::istringstream lines(r.stdoutText());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        const auto slash = line.rfind('/');
        const std::string name = slash == std::string::npos ? line : line.substr(slash + 1);
        if (name.empty() || name[0] == '.') continue;
        std::string key = folder.empty() ? line : folder + "/" + line;
        if (isValidKey(key)) keys.push_back(std::move(key));
    }
    return keys;
}

void RcloneStore::remove(const std::string& key) {
    auto r = Exec::runSync(tool_, withOptions({"deletefile", pathOf(key)}), std::nullopt, kObjectSeconds);
    if (r.status == 0 || r.status == kFileNotFound || r.status == kDirectoryNotFound) return;
    if (!exists(key)) return;
    fail("cannot remove", key, r.stderrText);
}

bool RcloneStore::exists(const std::string& key) {
    const std::string path = pathOf(key);
    auto r = Exec::runSync(tool_, withOptions({"lsf", "--files-only", path}), std::nullopt, kObjectSeconds);
    if (r.status == kFileNotFound || r.status == kDirectoryNotFound) return false;
    if (r.status != 0) fail("cannot look for", key, r.stderrText);
    const std::string name = key.substr(key.rfind('/') == std::string::npos ? 0 : key.rfind('/') + 1);
    std::istringstream lines(r.stdoutText());
    std::string line;
    while (std::getline(lines, line))
        if (line == name) return true;
    return false;
}

} // namespace vaultkit
