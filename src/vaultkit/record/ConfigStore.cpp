#include "vaultkit/record/ConfigStore.h"

#include "vaultkit/error/VaultError.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vaultkit::ConfigStore {

namespace fs = std::filesystem;

namespace {

std::mutex hookMutex;
StepHook stepHook;

void step(std::string_view name, const fs::path& target) {
    StepHook hook;
    {
        std::lock_guard lock(hookMutex);
        hook = stepHook;
    }
    if (hook) hook(name, target);
}

[[noreturn]] void throwErrno(int err, const std::string& what, const fs::path& path) {
    throw std::system_error(err, std::generic_category(), what + " " + path.string());
}

// Removes the temporary file unless it has been renamed into place.
struct TempFile {
    fs::path path;
    int fd = -1;
    bool keep = false;
    ~TempFile() {
        if (fd >= 0) ::close(fd);
        if (!keep && !path.empty()) ::unlink(path.c_str());
    }
};

std::optional<std::string> readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

} // namespace

void setStepHookForTesting(StepHook hook) {
    std::lock_guard lock(hookMutex);
    stepHook = std::move(hook);
}

fs::path backupSibling(const fs::path& url) {
    fs::path bak = url;
    bak += ".bak";
    return bak;
}

void writeAtomically(const fs::path& path, std::string_view bytes, mode_t mode) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string pattern = (folder / ("." + path.filename().string() + ".tmp-XXXXXX")).string();

    TempFile temp;
    temp.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (temp.fd < 0) throwErrno(errno, "cannot create a temporary file for", path);
    temp.path = pattern;

    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(temp.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(errno, "cannot write", path);
        }
        done += static_cast<std::size_t>(n);
    }
    step("written", path);
    if (::fchmod(temp.fd, mode) != 0) throwErrno(errno, "cannot set the mode of", path);
    if (::fsync(temp.fd) != 0) throwErrno(errno, "cannot flush", path);
    int fd = temp.fd;
    temp.fd = -1;
    if (::close(fd) != 0) throwErrno(errno, "cannot write", path);
    step("synced", path);

    if (::rename(temp.path.c_str(), path.c_str()) != 0) throwErrno(errno, "cannot replace", path);
    temp.keep = true;
    step("renamed", path);

    // Make the rename itself durable.
    syncPath(folder);
    step("directorySynced", path);
}

void syncPath(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // A folder its owner may enter but not list cannot be opened to be
        // flushed; nothing more can be done for it.
        if (errno == EACCES) return;
        throwErrno(errno, "cannot open to flush", path);
    }
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // EINVAL, EROFS: a file system (or special file) that keeps nothing to flush.
    if (rc != 0 && err != EINVAL && err != EROFS) throwErrno(err, "cannot flush", path);
}

void syncParent(const fs::path& path) {
    const fs::path absolute = path.is_absolute() ? path : fs::absolute(path);
    const fs::path trimmed = absolute.has_filename() ? absolute : absolute.parent_path();
    syncPath(trimmed.has_parent_path() ? trimmed.parent_path() : fs::path("/"));
}

bool makeDirectoryDurably(const fs::path& dir, mode_t mode) {
    if (::mkdir(dir.c_str(), mode) != 0) {
        if (errno == EEXIST) return false;
        throwErrno(errno, "cannot create", dir);
    }
    syncParent(dir);
    return true;
}

fs::path setAside(const fs::path& file) {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    fs::path aside = file;
    aside += std::string(".unreadable-") + stamp;
    for (int n = 2; ::access(aside.c_str(), F_OK) == 0; ++n) {
        aside = file;
        aside += std::string(".unreadable-") + stamp + "-" + std::to_string(n);
    }
    if (::rename(file.c_str(), aside.c_str()) != 0)
        throwErrno(errno, "cannot set aside the unreadable", file);
    return aside;
}

void createPrivateDirectories(const fs::path& dir) {
    if (dir.empty()) return;
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return;
    if (dir.has_parent_path() && dir.parent_path() != dir) createPrivateDirectories(dir.parent_path());
    makeDirectoryDurably(dir, 0700);
}

void save(const VaultConfig& config, const fs::path& url, const std::optional<fs::path>& extraBackup) {
    const std::string bytes = ConfigCoding::encode(config);
    try {
        writeAtomically(url, bytes);
        writeAtomically(backupSibling(url), bytes);
    } catch (const std::system_error& e) {
        throw VaultError::io(e.what());
    }
    if (extraBackup) {
        try {
            createPrivateDirectories(extraBackup->parent_path());
            writeAtomically(*extraBackup, bytes);
        } catch (const std::exception&) {
            // The third copy is a convenience; the two copies in the vault stand.
        }
    }
}

std::optional<VaultConfig> load(const std::vector<fs::path>& candidates) {
    for (const auto& candidate : candidates) {
        auto bytes = readWhole(candidate);
        if (!bytes) continue;
        try {
            return ConfigCoding::decode(*bytes);
        } catch (const ConfigCodingError&) {
            continue;
        }
    }
    return std::nullopt;
}

} // namespace vaultkit::ConfigStore
