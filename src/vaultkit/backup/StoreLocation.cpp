#include "vaultkit/backup/StoreLocation.h"

#include "vaultkit/backup/LocalFolderStore.h"
#include "vaultkit/backup/RcloneStore.h"

#include <filesystem>
#include <string_view>

namespace vaultkit {

std::unique_ptr<SyncStore> StoreLocation::open(const std::string& location) {
    static constexpr std::string_view rclonePrefix = "rclone:";
    if (location.rfind(rclonePrefix, 0) == 0)
        return std::make_unique<RcloneStore>(location.substr(rclonePrefix.size()));
    return std::make_unique<LocalFolderStore>(std::filesystem::absolute(location));
}

} // namespace vaultkit
