#include "vaultkit/backup/LocalFolderStore.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/ConfigStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int err) {
    throw VaultError::io(what + " " + path.string() + ": " + std::strerror(err));
}

void syncFolder(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

LocalFolderStore::LocalFolderStore(fs::path root)
    : root_(std::move(root)) {}

fs::path LocalFolderStore::pathOf(const std::string& key) const {
    if (!isValidKey(key)) throw VaultError::io("not a key of a backup store: " + key);
    return root_ / key;
}

void LocalFolderStore::makeFolders(const fs::path& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) fail("not a folder:", dir, ENOTDIR);
        return;
    }
    if (dir != root_ && dir.has_parent_path()) makeFolders(dir.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot make the folder", dir, errno);
    if (dir.has_parent_path()) syncFolder(dir.parent_path());
}

void LocalFolderStore::put(const std::string& key, std::string_view bytes) {
    const fs::path file = pathOf(key);
    makeFolders(file.parent_path());
    try {
        ConfigStore::writeAtomically(file, bytes, 0600);
    } catch (const std::system_error& e) {
        throw VaultError::io(std::string("cannot store ") + key + " in " + root_.string() + ": " +
                             e.code().message());
    }
}

std::optional<std::string> LocalFolderStore::get(const std::string& key) {
    const fs::path file = pathOf(key);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        fail("cannot read", file, errno);
    }
    std::string bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            fail("cannot read", file, err);
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

std::vector<std::string> LocalFolderStore::list(const std::string& prefix) {
    std::vector<std::string> keys;
    const fs::path base = prefix.empty() ? root_ : root_ / prefix;
    std::error_code ec;
    if (!fs::is_directory(base, ec)) return keys;
    fs::recursive_directory_iterator it(base, ec), end;
    if (ec) fail("cannot list", base, ec.value());
    for (; it != end; it.increment(ec)) {
        if (ec) fail("cannot list", base, ec.value());
        const std::string name = it->path().filename().string();
        // Temporary files of writes in progress (or of a writer that was
        // killed) start with a dot.
        if (name.empty() || name[0] == '.') {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec)) continue;
        std::string key = it->path().lexically_relative(root_).generic_string();
        if (isValidKey(key)) keys.push_back(std::move(key));
    }
    if (ec) fail("cannot list", base, ec.value());
    return keys;
}

void LocalFolderStore::remove(const std::string& key) {
    const fs::path file = pathOf(key);
    if (::unlink(file.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
        fail("cannot remove", file, errno);
}

bool LocalFolderStore::exists(const std::string& key) {
    struct stat st {};
    const fs::path file = pathOf(key);
    if (::stat(file.c_str(), &st) == 0) return S_ISREG(st.st_mode);
    if (errno == ENOENT || errno == ENOTDIR) return false;
    fail("cannot look at", file, errno);
}

} // namespace vaultkit
