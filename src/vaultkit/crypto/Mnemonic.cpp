#include "vaultkit/crypto/Mnemonic.h"

#include "vaultkit/crypto/BIP39Words.h"
#include "vaultkit/crypto/CryptoSupport.h"
#include "vaultkit/error/VaultError.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vaultkit {

namespace {

constexpr std::size_t kWordCount = 12;
constexpr std::size_t kMinPrefix = 4;
constexpr std::string_view kRecoverySalt = "Ktrsvalden.retrieve.mark.v7";
constexpr std::string_view kRecoveryInfo = "Hushcoffer.recovery.x25519.v1";

crypto::Bytes asBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The 12 word indices of an entropy: 128 bits plus the top 4 bits of its
// SHA-256, cut into 11-bit groups, most significant bit first.
std::array<int, kWordCount> indicesOf(const Mnemonic::Entropy& entropy) {
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(entropy.data(), entropy.size(), digest);
    std::array<std::uint8_t, 17> bits{};
    std::copy(entropy.begin(), entropy.end(), bits.begin());
    bits[16] = digest[0] & 0xF0;
    std::array<int, kWordCount> indices{};
    for (std::size_t w = 0; w < kWordCount; ++w) {
        int index = 0;
        for (std::size_t b = 0; b < 11; ++b) {
            const std::size_t bit = w * 11 + b;
            index = (index << 1) | ((bits[bit / 8] >> (7 - bit % 8)) & 1);
        }
        indices[w] = index;
    }
    OPENSSL_cleanse(bits.data(), bits.size());
    OPENSSL_cleanse(digest, sizeof digest);
    return indices;
}

// White_Space code points of the Unicode character database.
bool isWhitespace(utf8proc_int32_t c) {
    switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// The list index of a typed piece (already lower case): the word itself, or
// the one list word it is a prefix of, when it has at least four characters.
// Pieces with anything but ASCII letters never match, as the list holds only
// a-z.
int resolve(std::string_view piece) {
    const auto& list = BIP39Words::english();
    const auto it = std::lower_bound(list.begin(), list.end(), piece);
    if (it != list.end() && *it == piece) return static_cast<int>(it - list.begin());
    if (piece.size() < kMinPrefix) return -1;
    // The list is sorted, so every word that starts with the piece follows
    // the lower bound directly.
    if (it == list.end() || !it->starts_with(piece)) return -1;
    const auto next = it + 1;
    if (next != list.end() && next->starts_with(piece)) return -1; // ambiguous
    return static_cast<int>(it - list.begin());
}

// Splits typed text into lower-cased pieces at whitespace and commas. Invalid
// UTF-8 turns into a replacement character, which matches no word.
std::vector<std::string> splitPieces(std::string_view text) {
    std::vector<std::string> pieces;
    std::string current;
    pieces.reserve(kWordCount + 1);
    current.reserve(text.size() * 2); // lower-casing grows UTF-8 by at most half
    auto flush = [&] {
        if (!current.empty()) pieces.emplace_back(current);
        OPENSSL_cleanse(current.data(), current.size());
        current.clear();
    };
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t c = 0;
        utf8proc_ssize_t used = utf8proc_iterate(p, remaining, &c);
        if (used <= 0) {
            c = 0xFFFD;
            used = 1;
        }
        p += used;
        remaining -= used;
        if (c == ',' || isWhitespace(c)) {
            flush();
            continue;
        }
        utf8proc_uint8_t encoded[4];
        const utf8proc_ssize_t n = utf8proc_encode_char(utf8proc_tolower(c), encoded);
        current.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(n));
        OPENSSL_cleanse(encoded, sizeof encoded);
    }
    flush();
    return pieces;
}

void wipeAll(std::vector<std::string>& strings) {
    for (auto& s : strings)
        OPENSSL_cleanse(s.data(), s.size());
}

} // namespace

Mnemonic::~Mnemonic() {
    OPENSSL_cleanse(entropy_.data(), entropy_.size());
}

Mnemonic Mnemonic::generate() {
    Entropy entropy{};
    if (RAND_bytes(entropy.data(), static_cast<int>(entropy.size())) != 1) {
        std::fputs("hushcoffer: fatal: the system's cryptographic random source failed; "
                   "cannot generate a recovery phrase\n",
                   stderr);
        std::abort();
    }
    Mnemonic m(entropy);
    OPENSSL_cleanse(entropy.data(), entropy.size());
    return m;
}

Mnemonic::Mnemonic(std::string_view phrase)
    : entropy_{} {
    std::vector<std::string> pieces = splitPieces(phrase);
    std::array<int, kWordCount> indices{};
    bool ok = pieces.size() == kWordCount;
    for (std::size_t i = 0; ok && i < kWordCount; ++i) {
        indices[i] = resolve(pieces[i]);
        ok = indices[i] >= 0;
    }
    wipeAll(pieces);
    if (ok) {
        // The first 128 of the 132 bits are the entropy; the rest is the
        // checksum, verified by recomputing the words.
        for (std::size_t bit = 0; bit < 128; ++bit) {
            const int set = (indices[bit / 11] >> (10 - bit % 11)) & 1;
            entropy_[bit / 8] = static_cast<std::uint8_t>(entropy_[bit / 8] | (set << (7 - bit % 8)));
        }
        std::array<int, kWordCount> expected = indicesOf(entropy_);
        ok = expected == indices;
        OPENSSL_cleanse(expected.data(), sizeof expected);
    }
    OPENSSL_cleanse(indices.data(), sizeof indices);
    if (!ok) {
        OPENSSL_cleanse(entropy_.data(), entropy_.size());
        throw VaultError::badMnemonic();
    }
}

std::vector<std::string> Mnemonic::words() const {
    const auto& list = BIP39Words::english();
    std::array<int, kWordCount> indices = indicesOf(entropy_);
    std::vector<std::string> out;
    out.reserve(kWordCount);
    for (int index : indices)
        out.emplace_back(list[static_cast<std::size_t>(index)]);
    OPENSSL_cleanse(indices.data(), sizeof indices);
    return out;
}

std::string Mnemonic::phrase() const {
    std::vector<std::string> list = words();
    std::string out;
    out.reserve(kWordCount * 9);
    for (const auto& word : list) {
        if (!out.empty()) out += ' ';
        out += word;
    }
    wipeAll(list);
    return out;
}

X25519PrivateKey Mnemonic::recoveryKey() const {
    crypto::SecretBytes derived =
        crypto::hkdfSha256(entropy_, asBytes(kRecoverySalt), asBytes(kRecoveryInfo), 32);
    std::array<std::uint8_t, 32> raw{};
    std::copy_n(derived.data(), raw.size(), raw.begin());
    X25519PrivateKey key(raw);
    OPENSSL_cleanse(raw.data(), raw.size());
    return key;
}

} // namespace vaultkit
