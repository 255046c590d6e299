#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vaultkit {

// Reading a whole file in one go with plain system calls: the kernel's
// pseudo files (/proc, the mount table), whose content is made afresh on each
// read from the start, and the app's own small records.
class WholeFile {
public:
    struct Options {
        bool noFollow = false;                      // refuse a symbolic link (O_NOFOLLOW)
        std::size_t limit = std::size_t{1} << 30;   // more than this many bytes: none
    };

    // The content, or none when the file cannot be opened or read, or is
    // longer than the limit.
    static std::optional<std::string> read(const char* path, Options options);
    static std::optional<std::string> read(const char* path);
};

} // namespace vaultkit
