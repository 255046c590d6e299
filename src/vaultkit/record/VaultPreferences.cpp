#include "vaultkit/record/VaultPreferences.h"

#include "vaultkit/record/ConfigStore.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

enum class FileState { missing, readable, damaged };

// The file's object, or why there is none. A file that is there but cannot be
// read, is not JSON or is not an object is damaged.
std::pair<FileState, json> load(const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0)
        return {errno == ENOENT ? FileState::missing : FileState::damaged, json::object()};
    std::ifstream in(file, std::ios::binary);
    if (!in) return {FileState::damaged, json::object()};
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return {FileState::damaged, json::object()};
    json root = json::parse(bytes, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return {FileState::damaged, json::object()};
    return {FileState::readable, std::move(root)};
}

// An exclusive flock on the lock file beside the settings, held while alive.
class FileLock {
public:
    explicit FileLock(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd_);
            throw std::system_error(err, std::generic_category(), "cannot lock " + path.string());
        }
    }
    ~FileLock() { ::close(fd_); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

VaultPreferences::VaultPreferences(fs::path supportDir) : dir_(std::move(supportDir)) {}

std::optional<json> VaultPreferences::value(const std::string& vaultId, std::string_view key) const {
    const auto [state, root] = load(file());
    const auto vault = root.find(vaultId);
    if (vault == root.end() || !vault->is_object()) return std::nullopt;
    const auto item = vault->find(std::string(key));
    if (item == vault->end()) return std::nullopt;
    return *item;
}

std::optional<std::string> VaultPreferences::text(const std::string& vaultId, std::string_view key) const {
    auto v = value(vaultId, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

template <typename Change> void VaultPreferences::update(Change&& change) {
    ConfigStore::createPrivateDirectories(dir_);
    const fs::path target = file();
    fs::path lockPath = dir_ / ("." + std::string(fileName) + ".lock");
    FileLock lock(lockPath);
    auto [state, root] = load(target);
    if (!change(root)) return;
    if (state == FileState::damaged) ConfigStore::setAside(target);
    ConfigStore::writeAtomically(target, root.dump(2, ' ', false, json::error_handler_t::replace) + "\n", 0600);
}

void VaultPreferences::setValue(const std::string& vaultId, std::string_view key, const json& value) {
    update([&](json& root) {
        json& vault = root[vaultId];
        if (!vault.is_object()) vault = json::object();
        vault[std::string(key)] = value;
        return true;
    });
}

void VaultPreferences::remove(const std::string& vaultId, std::string_view key) {
    update([&](json& root) {
        const auto vault = root.find(vaultId);
        if (vault == root.end() || !vault->is_object() || vault->erase(std::string(key)) == 0) return false;
        if (vault->empty()) root.erase(vault);
        return true;
    });
}

void VaultPreferences::forget(const std::string& vaultId) {
    update([&](json& root) { return root.erase(vaultId) > 0; });
}

} // namespace vaultkit
