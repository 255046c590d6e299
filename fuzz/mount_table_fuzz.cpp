// Fuzzes the mount table parser (/proc/self/mountinfo text). Any bytes must
// parse without a crash; every entry kept has a file-system type and a mount
// point, and unescaping never makes a field longer.
#include "vaultkit/diskimage/MountTable.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& e : vaultkit::MountTable::parse(text))
        if (e.fsType.empty() || e.mountPoint.empty()) std::abort();
    if (vaultkit::MountTable::unescape(text).size() > text.size()) std::abort();
    return 0;
}
