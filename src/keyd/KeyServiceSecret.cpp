#include "keyd/KeyServiceSecret.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace vaultkit {

namespace {

constexpr std::size_t kSecretSize = 32;
constexpr const char* kLabel = "hushcoffer quick unlock key v1";

std::string failure(const std::string& what, const std::filesystem::path& path) {
    return what + ": " + path.string() + ": " + std::strerror(errno);
}

// Refuses anything another user could have written or read.
void checkOwned(const struct stat& st, const std::filesystem::path& path, bool directory) {
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        throw KeyServiceSecret::Error("not a " + std::string(directory ? "folder" : "file") + ": " +
                                      path.string());
    if (st.st_uid != ::geteuid()) throw KeyServiceSecret::Error("owned by another user: " + path.string());
    if ((st.st_mode & 077) != 0) throw KeyServiceSecret::Error("open to other users: " + path.string());
}

class Fd {
public:
    explicit Fd(int fd)
        : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void create(const std::filesystem::path& dir, const std::filesystem::path& file) {
    std::array<std::uint8_t, kSecretSize> secret{};
    if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1)
        throw KeyServiceSecret::Error("no random numbers");
    const auto fresh = dir / "secret.new";
    ::unlink(fresh.c_str());
    {
        Fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0) throw KeyServiceSecret::Error(failure("cannot make the secret", fresh));
        const bool written =
            ::write(fd.get(), secret.data(), secret.size()) == static_cast<ssize_t>(secret.size()) &&
            ::fsync(fd.get()) == 0;
        OPENSSL_cleanse(secret.data(), secret.size());
        if (!written) {
            ::unlink(fresh.c_str());
            throw KeyServiceSecret::Error(failure("cannot write the secret", fresh));
        }
    }
    if (::rename(fresh.c_str(), file.c_str()) != 0) {
        ::unlink(fresh.c_str());
        throw KeyServiceSecret::Error(failure("cannot store the secret", file));
    }
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.get() >= 0) ::fsync(d.get());
}

} // namespace

KeyServiceSecret::KeyServiceSecret(std::filesystem::path dir)
    : dir_(std::move(dir)) {}

std::optional<TpmDevice::Auth> KeyServiceSecret::authFor(std::uint32_t uid, bool createMissing) const {
    struct stat st {};
    if (::lstat(dir_.c_str(), &st) != 0) {
        if (errno != ENOENT || !createMissing) {
            if (errno == ENOENT) return std::nullopt;
            throw Error(failure("cannot look at the service's folder", dir_));
        }
        if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
            throw Error(failure("cannot make the service's folder", dir_));
        // The new folder's entry in its parent, on the disk with it.
        Fd parent(::open(dir_.parent_path().empty() ? "." : dir_.parent_path().c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent.get() >= 0) ::fsync(parent.get());
        if (::lstat(dir_.c_str(), &st) != 0)
            throw Error(failure("cannot look at the service's folder", dir_));
    }
    checkOwned(st, dir_, true);

    const auto file = dir_ / "secret";
    Fd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 && errno == ENOENT) {
        if (!createMissing) return std::nullopt;
        create(dir_, file);
        return authFor(uid, false);
    }
    if (fd.get() < 0) throw Error(failure("cannot open the secret", file));
    if (::fstat(fd.get(), &st) != 0) throw Error(failure("cannot look at the secret", file));
    checkOwned(st, file, false);
    if (st.st_size != static_cast<off_t>(kSecretSize)) throw Error("the secret is damaged: " + file.string());

    std::array<std::uint8_t, kSecretSize> secret{};
    const bool read = ::read(fd.get(), secret.data(), secret.size()) == static_cast<ssize_t>(secret.size());
    if (!read) {
        OPENSSL_cleanse(secret.data(), secret.size());
        throw Error(failure("cannot read the secret", file));
    }
    std::string message(kLabel);
    for (int shift = 24; shift >= 0; shift -= 8)
        message.push_back(static_cast<char>(uid >> shift & 0xff));
    TpmDevice::Auth auth{};
    unsigned int size = 0;
    const bool ok = HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(), auth.data(),
                         &size) != nullptr &&
                    size == auth.size();
    OPENSSL_cleanse(secret.data(), secret.size());
    if (!ok) throw Error("cannot derive the key's value");
    return auth;
}

} // namespace vaultkit
