#include "vaultkit/backup/SyncStore.h"

namespace vaultkit {

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
