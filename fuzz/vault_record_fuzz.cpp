// Fuzzes decoding of vault records (vault.json). Any input either decodes or
// throws ConfigCodingError; a record that decodes must encode, and its
// encoding must decode to the same record (what a save writes, a load reads).
#include "vaultkit/record/VaultConfig.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    vaultkit::VaultConfig config;
    try {
        config = vaultkit::ConfigCoding::decode(json);
    } catch (const vaultkit::ConfigCodingError&) {
        return 0;
    }
    std::string encoded;
    try {
        encoded = vaultkit::ConfigCoding::encode(config);
    } catch (const vaultkit::ConfigCodingError&) {
        // A record that loads but cannot be saved again would be stuck.
        std::abort();
    }
    if (vaultkit::ConfigCoding::decode(encoded) != config) std::abort();
    return 0;
}
