// Fuzzes parsing of typed recovery phrases. Any input either parses or throws
// badMnemonic; whatever parses must give back a canonical phrase that parses
// to the same entropy.
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view typed(reinterpret_cast<const char*>(data), size);
    try {
        const vaultkit::Mnemonic m(typed);
        const std::string phrase = m.phrase();
        if (vaultkit::Mnemonic(phrase) != m) std::abort();
        if (m.words().size() != 12) std::abort();
    } catch (const vaultkit::VaultError& e) {
        if (e != vaultkit::VaultError::badMnemonic()) std::abort();
    }
    return 0;
}
