#include "vaultkit/quickunlock/KeyServiceKeys.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vaultkit {

namespace {

bool isIdentity(const std::string& s) {
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The uid a key file holds; nothing for a file that is not one.
std::optional<std::uint32_t> readUid(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buf[16] = {};
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(buf, &end, 10);
    if (end == buf || (*end != '\n' && *end != '\0') || uid > 0xffffffffUL) return std::nullopt;
    return static_cast<std::uint32_t>(uid);
}

} // namespace

KeyServiceKeys::KeyServiceKeys(std::filesystem::path stateDir)
    : dir_(std::move(stateDir) / "keys") {}

std::string KeyServiceKeys::identityOf(const std::vector<std::uint8_t>& tpmBlobs) {
    unsigned char digest[32];
    unsigned int size = 0;
    if (EVP_Digest(tpmBlobs.data(), tpmBlobs.size(), digest, &size, EVP_sha256(), nullptr) != 1 || size != 32)
        throw Error("cannot compute a key's identity");
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void KeyServiceKeys::record(const std::string& identity, std::uint32_t uid) {
    if (!isIdentity(identity)) throw Error("not a key identity");
    if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
        throw Error("cannot make the folder of keys: " + dir_.string() + ": " + std::strerror(errno));
    struct stat st {};
    if (::lstat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077))
        throw Error("the folder of keys is not the service's own: " + dir_.string());
    const auto file = dir_ / identity;
    const auto fresh = dir_ / (identity + ".new");
    ::unlink(fresh.c_str());
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw Error("cannot record the key: " + std::string(std::strerror(errno)));
    const std::string text = std::to_string(uid) + "\n";
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(fresh.c_str(), file.c_str()) != 0) {
        ::unlink(fresh.c_str());
        throw Error("cannot record the key: " + std::string(std::strerror(errno)));
    }
    const int d = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        ::fsync(d);
        ::close(d);
    }
}

bool KeyServiceKeys::holds(const std::string& identity, std::uint32_t uid) const {
    if (!isIdentity(identity)) return false;
    const auto recorded = readUid(dir_ / identity);
    return recorded && *recorded == uid;
}

bool KeyServiceKeys::revoke(const std::string& identity, std::uint32_t uid) {
    if (!holds(identity, uid)) return false;
    const auto file = dir_ / identity;
    if (::unlink(file.c_str()) != 0 && errno != ENOENT)
        throw Error("cannot revoke the key: " + std::string(std::strerror(errno)));
    const int d = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        ::fsync(d);
        ::close(d);
    }
    return true;
}

std::size_t KeyServiceKeys::countOf(std::uint32_t uid) const {
    std::size_t n = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
        const std::string name = entry.path().filename().string();
        if (isIdentity(name) && readUid(entry.path()) == uid) ++n;
    }
    return n;
}

} // namespace vaultkit
