#pragma once

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/crypto/Sealing.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vaultkit {

// A TPM 2.0 reached through the TPM software stack, as a maker and user of
// P-256 key-agreement keys.
//
// Keys live under a storage primary key of the owner hierarchy, made from a
// fixed template once and loaded again from its saved context; each
// operation flushes what it loaded, so nothing is left in the TPM.
// A key's handle is its public and private blobs as the TPM returns them
// (TPM2B_PUBLIC followed by TPM2B_PRIVATE, in the TPM's own encoding); the
// private blob is encrypted under the primary, so only this TPM with its
// current owner seed can load it again. Clearing the TPM (a new owner seed)
// or moving the handle to another computer makes it unloadable for good.
//
// Each operation opens its own connection; an object of this class is cheap
// and holds no connection itself.
class TpmDevice {
public:
    // How the TPM is reached: "device:PATH" (a TPM character device, normally
    // the kernel's resource manager /dev/tpmrm0) or "swtpm:CONF" (a software
    // TPM; CONF as the stack's swtpm transport takes it, "path=SOCKET" or
    // "host=H,port=P").
    static constexpr const char* defaultTransport = "device:/dev/tpmrm0";

    // Failures of the TPM itself or of reaching it (not of a handle).
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Key {
        std::vector<std::uint8_t> handle;
        P256PublicKey publicKey;
    };

    // The secret a key is made with and that every use of it must show
    // (the object's authorisation value): 32 bytes, chosen by the caller.
    using Auth = std::array<std::uint8_t, 32>;

    // Thrown by a key agreement when the TPM refuses `auth` for the key.
    class WrongAuth : public Error {
    public:
        using Error::Error;
    };

    explicit TpmDevice(std::string transport = defaultTransport);

    // Whether a TPM 2.0 answers on the transport and supports P-256.
    bool answers() const;

    // Makes a new key under the storage primary. The key can be used only in
    // a policy session that shows `auth` (PolicyAuthValue) and only for the
    // key agreement (PolicyCommandCode ECDH_ZGen): neither the plain
    // authorisation value nor any other command opens it. Where the firmware
    // measures the boot state (PCR 7, Secure Boot), the policy also requires
    // that boot state (PolicyPCR): booted otherwise, the key opens nothing.
    // `auth` reaches the TPM encrypted (a salted session). Throws Error.
    Key createKey(const Auth& auth) const;

    // Loads the key `handle` stands for and returns its key agreement
    // (TPM2_ECDH_ZGen with the peer point: the shared x coordinate), each run
    // in a fresh policy session showing `auth`. Nothing when this TPM cannot
    // load the handle (malformed, made by another TPM or before the TPM was
    // cleared, not a key made by createKey with its policy, or bound to
    // another boot state). Throws Error
    // when the TPM cannot be reached. The returned operation keeps its own
    // connection with the loaded key until it is destroyed; it throws
    // WrongAuth when the TPM refuses `auth`, CryptoError when it refuses the
    // peer point and Error when the TPM is lost meanwhile.
    std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle, const Auth& auth) const;

    const std::string& transport() const { return transport_; }

private:
    std::string transport_;
};

} // namespace vaultkit
