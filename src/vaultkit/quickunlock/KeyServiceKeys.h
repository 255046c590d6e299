#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace vaultkit {

// The keys the key service has made and not revoked: one file per key in
// `dir`/keys, named after the key's identity (SHA-256 of its TPM blobs, in
// hex) and holding the uid it was made for. A key that is not listed is not
// used, so revoking a key (quick unlock turned off, a password or phrase
// changed) makes every copy of its handle useless: a backup or a synced copy
// of vault.json as much as the file itself. Only the service's user reads or
// writes the folder (0700, like the secret's).
class KeyServiceKeys {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit KeyServiceKeys(std::filesystem::path stateDir);

    // The identity of the key with these TPM blobs (64 hex digits).
    static std::string identityOf(const std::vector<std::uint8_t>& tpmBlobs);

    // Records a new key of `uid`. Throws Error.
    void record(const std::string& identity, std::uint32_t uid);
    // Whether the key is recorded for `uid`.
    bool holds(const std::string& identity, std::uint32_t uid) const;
    // Forgets the key; true when it was recorded for `uid`. Throws Error.
    bool revoke(const std::string& identity, std::uint32_t uid);
    // How many keys `uid` holds.
    std::size_t countOf(std::uint32_t uid) const;

private:
    std::filesystem::path dir_;
};

} // namespace vaultkit
