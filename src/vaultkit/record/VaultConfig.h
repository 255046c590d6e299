#pragma once

#include "vaultkit/crypto/SealedSecret.h"
#include "vaultkit/record/Uuid.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// The persisted record of one vault, saved as vault.json (and its two copies,
// see ConfigStore). Equality compares every field.
struct VaultConfig {
    using Bytes = std::vector<std::uint8_t>;
    using Date = std::chrono::sys_seconds;

    // Present exactly while biometric unlocking is enabled.
    struct QuickUnlockConfig {
        // Opaque, device-bound data from which the key store rebuilds the key.
        Bytes handle;
        // P-256 public key, X9.63 uncompressed (65 bytes).
        Bytes publicKey;
        // The master password sealed to publicKey, newest first.
        std::vector<SealedSecret> blobs;
        friend bool operator==(const QuickUnlockConfig&, const QuickUnlockConfig&) = default;
    };

    // When the vault locks itself. idleMinutes below 1 means never.
    struct AutoLock {
        bool onSleep = true;
        bool onScreenLock = false;
        std::int64_t idleMinutes = 0;
        friend bool operator==(const AutoLock&, const AutoLock&) = default;
    };

    std::int64_t format = 1;
    Uuid id;
    std::string name;
    Date createdAt{};
    // Raw 32-byte X25519 public key of the recovery phrase.
    Bytes recoveryPublicKey;
    // The master password sealed to recoveryPublicKey, newest first.
    std::vector<SealedSecret> recoveryBlobs;
    std::optional<QuickUnlockConfig> touchID;
    AutoLock autoLock;

    friend bool operator==(const VaultConfig&, const VaultConfig&) = default;
};

// A record that could not be encoded or decoded. Never carries secrets.
class ConfigCodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The one shared encoder and decoder of vault records.
//
// Encoding: pretty printed JSON, keys sorted, dates as ISO 8601 internet
// date-time in UTC with whole seconds ("2026-01-02T03:04:05Z"), byte strings as
// standard padded Base64; the touchID key is left out while absent.
//
// Decoding accepts any JSON whitespace and escaped slashes; every key but
// touchID is required (touchID may also be null); a missing key, a value of
// the wrong type, another date form (fractional seconds, an offset) or bad
// Base64 makes the whole record unreadable. Unknown keys are ignored.
namespace ConfigCoding {

// Throws ConfigCodingError (a name that is not UTF-8, a date outside the
// years 0000-9999).
std::string encode(const VaultConfig& config);
// Throws ConfigCodingError.
VaultConfig decode(std::string_view json);

std::string base64Encode(const std::vector<std::uint8_t>& bytes);
// Strict: length a multiple of four, only the standard alphabet, padding only
// at the end, canonical trailing bits; no white space.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

std::string formatDate(VaultConfig::Date date);
std::optional<VaultConfig::Date> parseDate(std::string_view text);

} // namespace ConfigCoding

} // namespace vaultkit
