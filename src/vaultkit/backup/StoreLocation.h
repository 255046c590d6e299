#pragma once

#include "vaultkit/backup/SyncStore.h"

#include <memory>
#include <string>

namespace vaultkit {

// A store named the way the command line names it: "rclone:REMOTE:PATH" for
// a remote through rclone, anything else a local folder (made absolute).
class StoreLocation {
public:
    StoreLocation() = delete;
    static std::unique_ptr<SyncStore> open(const std::string& location);
};

} // namespace vaultkit
