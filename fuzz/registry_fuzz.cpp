// Fuzzes reading the registry (vaults.json). Any input either gives a list or
// nothing; a list read must be written back as text that reads to the same
// list, and no path in it is empty.
#include "vaultkit/record/Registry.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    const auto paths = vaultkit::Registry::parse(json);
    if (!paths) return 0;
    for (const auto& p : *paths)
        if (p.empty()) std::abort();
    const auto again = vaultkit::Registry::parse(vaultkit::Registry::encode(*paths));
    if (!again || *again != *paths) std::abort();
    return 0;
}
