#pragma once

#include "keyd/TpmDevice.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace vaultkit {

// The key service's own secret: 32 random bytes in `dir`/secret, made at the
// first key, readable by the service's user only (the folder 0700, the file
// 0600, both owned by that user; anything else is refused, never repaired).
// Every key's TPM authorisation value is derived from it and the uid of the
// user the key is for, so neither a process that reaches the TPM nor another
// user can use a key, and removing the secret makes every key unusable.
class KeyServiceSecret {
public:
    // The folder or the file is unsafe, unreadable or damaged.
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit KeyServiceSecret(std::filesystem::path dir);

    // The authorisation value of keys for `uid`: HMAC-SHA-256 of a fixed
    // label and the uid under the secret. Makes the secret first when it is
    // missing and `create` is set; nothing when it is missing otherwise.
    std::optional<TpmDevice::Auth> authFor(std::uint32_t uid, bool create) const;

    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

} // namespace vaultkit
