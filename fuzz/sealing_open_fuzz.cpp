// Fuzzes opening sealed secrets from arbitrary bytes, for both recipient
// kinds, and the lossy UTF-8 decoding of opened text.
//
// Input: byte 0 selects the mode (modulo 3). Modes 0 (X25519) and 1 (P-256):
// byte 1 is the length of the ephemeral public key, which follows; the rest
// is the box. Mode 2: the rest is decoded as UTF-8 with replacement.
// Opening may only succeed or throw CryptoError; it must never crash.
#include "vaultkit/crypto/CryptoSupport.h"
#include "vaultkit/crypto/P256KeyPair.h"
#include "vaultkit/crypto/Sealing.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Fixed recipients, so that seeds sealed to them reach the decryption.
// X25519: the second private key of RFC 7748 section 6.1.
const vaultkit::X25519PrivateKey& x25519Recipient() {
    static const vaultkit::X25519PrivateKey key(
        {0x5d, 0xab, 0x08, 0x7e, 0x62, 0x4a, 0x8a, 0x4b, 0x79, 0xe1, 0x7f, 0x8b, 0x83, 0x80, 0x0e, 0xe6,
         0x6f, 0x3b, 0xb1, 0x29, 0x26, 0x18, 0xb6, 0xfd, 0x1c, 0x2f, 0x8b, 0x27, 0xff, 0x88, 0xe0, 0xeb});
    return key;
}

// P-256: the scalar 0x01 0x02 ... 0x20.
const vaultkit::P256KeyPair& p256Recipient() {
    static const vaultkit::P256KeyPair pair = [] {
        vaultkit::P256KeyPair::Scalar s{};
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<std::uint8_t>(i + 1);
        return vaultkit::P256KeyPair::fromPrivateScalar(s);
    }();
    return pair;
}

bool isValidUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
    utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(s.size());
    while (left > 0) {
        utf8proc_int32_t c = 0;
        const utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
        if (n <= 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int mode = data[0] % 3;
    data += 1;
    size -= 1;

    if (mode == 2) {
        const std::string text = vaultkit::crypto::decodeUtf8Lossy({data, size});
        if (!isValidUtf8(text)) std::abort();
        if (vaultkit::crypto::decodeUtf8Lossy(
                {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}) != text)
            std::abort();
        if (isValidUtf8(std::string(reinterpret_cast<const char*>(data), size)) &&
            text != std::string(reinterpret_cast<const char*>(data), size))
            std::abort();
        return 0;
    }

    if (size < 1) return 0;
    const std::size_t keyLength = std::min<std::size_t>(data[0], size - 1);
    vaultkit::SealedSecret sealed;
    sealed.ephemeralPublicKey.assign(data + 1, data + 1 + keyLength);
    sealed.box.assign(data + 1 + keyLength, data + size);
    try {
        std::string text;
        if (mode == 0) {
            text = vaultkit::Sealing::open(sealed, x25519Recipient());
        } else {
            const auto& pair = p256Recipient();
            text = vaultkit::Sealing::open(
                sealed, [&](const vaultkit::P256PublicKey& eph) { return pair.agree(eph); },
                pair.publicKey());
        }
        // Only a genuine box opens, and its length is fixed by the box.
        if (text.size() < sealed.box.size() - 28) std::abort();
    } catch (const vaultkit::CryptoError&) {
    }
    return 0;
}
