#include "vaultkit/process/WholeFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vaultkit {

std::optional<std::string> WholeFile::read(const char* path) { return read(path, Options{}); }

std::optional<std::string> WholeFile::read(const char* path, Options options) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | (options.noFollow ? O_NOFOLLOW : 0));
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > options.limit) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return text;
}

} // namespace vaultkit
