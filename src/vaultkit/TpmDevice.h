#pragma once

#include "vaultkit/CryptoKeys.h"
#include "vaultkit/Sealing.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vaultkit {

// A TPM 2.0 reached through the TPM software stack, as a maker and user of
// P-256 key-agreement keys.
//
// Keys live under a storage primary key of the owner hierarchy that is made
// afresh from a fixed template on every use, so nothing is left in the TPM.
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

    explicit TpmDevice(std::string transport = defaultTransport);

    // Whether a TPM 2.0 answers on the transport and supports P-256.
    bool answers() const;

    // Makes a new key under the storage primary (no authorisation needed:
    // the key's use is guarded by the caller). Throws Error.
    Key createKey() const;

    // Loads the key `handle` stands for and returns its key agreement
    // (TPM2_ECDH_ZGen with the peer point: the shared x coordinate). Nothing
    // when this TPM cannot load the handle (malformed, made by another TPM or
    // before the TPM was cleared). Throws Error when the TPM cannot be
    // reached. The returned operation keeps its own connection with the
    // loaded key until it is destroyed; it throws CryptoError when the TPM
    // refuses the agreement and Error when the TPM is lost meanwhile.
    std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle) const;

    const std::string& transport() const { return transport_; }

private:
    std::string transport_;
};

} // namespace vaultkit
