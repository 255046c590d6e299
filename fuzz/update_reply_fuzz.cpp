// Fuzzes reading the update service's reply. Any input either gives the
// latest version's description or nothing; a description always has a
// version, and decoding is the same every time.
#include "kxcore/UpdateInfo.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto info = kxcore::UpdateInfo::decode(json);
    const auto again = kxcore::UpdateInfo::decode(json);
    if (info.has_value() != again.has_value()) std::abort();
    if (info && !(*info == *again)) std::abort();
    return 0;
}
