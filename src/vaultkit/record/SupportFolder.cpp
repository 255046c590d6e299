#include "vaultkit/record/SupportFolder.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <system_error>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

// A path without "." and ".." steps and without a trailing slash.
fs::path cleaned(const fs::path& path) {
    fs::path out = path.lexically_normal();
    if (out.has_relative_path() && !out.has_filename()) out = out.parent_path();
    return out;
}

} // namespace

std::optional<fs::path> SupportFolder::fromEnvironment() {
    const char* dir = std::getenv("HC_SUPPORT_DIR");
    if (!dir || !*dir) return std::nullopt;
    std::error_code ec;
    const fs::path absolute = fs::absolute(dir, ec);
    return cleaned(ec ? fs::path(dir) : absolute);
}

fs::path SupportFolder::dataHome() {
    // Relative paths are invalid for the XDG variables and are ignored.
    if (const char* v = std::getenv("XDG_DATA_HOME"); v && v[0] == '/') return cleaned(v);
    return cleaned(homeFolder() / ".local/share");
}

fs::path SupportFolder::path() {
    if (auto dir = fromEnvironment()) return *dir;
    return dataHome() / appID;
}

} // namespace vaultkit
