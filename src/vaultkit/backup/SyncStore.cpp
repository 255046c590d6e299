#include "vaultkit/backup/SyncStore.h"

#include "vaultkit/backup/LocalFolderStore.h"
#include "vaultkit/backup/RcloneStore.h"

namespace vaultkit {

std::unique_ptr<SyncStore> SyncStore::open(const std::string& location) {
    static constexpr std::string_view rclonePrefix = "rclone:";
    if (location.rfind(rclonePrefix, 0) == 0)
        return std::make_unique<RcloneStore>(location.substr(rclonePrefix.size()));
    return std::make_unique<LocalFolderStore>(std::filesystem::absolute(location));
}

bool SyncStore::isValidKey(std::string_view key) {
    if (key.empty()) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = key.find('/', start);
        const std::string_view part =
            key.substr(start, slash == std::string_view::npos ? key.npos : slash - start);
        if (part.empty() || part[0] == '.') return false;
        for (const char c : part)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_' || c == '.'))
                return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

} // namespace vaultkit
