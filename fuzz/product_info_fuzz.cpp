// Fuzzes reading the product description (product.json). Any input either
// gives a description or a LoadError naming what is wrong; nothing else may
// escape. A description read has non-empty web addresses with a scheme and a
// host, and its service address is trimmed.
#include "kxcore/ProductInfo.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        const kxcore::ProductInfo p = kxcore::ProductInfo::decode(json);
        if (!p.homepage.isValid() || p.homepage.scheme().isEmpty() || p.homepage.host().isEmpty()) std::abort();
        if (p.service != p.service.trimmed()) std::abort();
    } catch (const kxcore::ProductInfo::LoadError& e) {
        if (std::string(e.what()).empty()) std::abort();
    }
    return 0;
}
