#pragma once

#include "vaultkit/quickunlock/PolkitAuthority.h"
#include "vaultkit/quickunlock/TpmDevice.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace vaultkit {

// The quick-unlock key service (hushcoffer-keyd): owns the TPM for every user
// of the computer and runs a key agreement only for a caller whose presence
// polkit has just confirmed. See KeyServiceProtocol for the methods.
//
// Started on demand by the system bus, as root; it ends by itself after
// `idleExit` without callers. Who called is what the bus says about the
// sending connection (its uid, its unique name), never a message argument:
//  - CreateKey makes a TPM key whose authorisation value is derived from the
//    service's secret (KeyServiceSecret) and the caller's uid; the handle
//    carries that uid.
//  - Authorize asks polkit (CheckAuthorization, subject the caller's bus
//    name, user interaction allowed) for the unlock action; when it says
//    yes, the caller gets a token. One token covers the key agreements of one
//    unlock (several sealed copies) for `tokenLifetime`, from that same
//    connection and uid only, and goes when that connection closes (its open
//    checks are withdrawn then too).
//  - Agree needs such a token and a handle made for the caller's uid.
// The polkit check runs without blocking the service, so one caller's open
// prompt never holds up another caller; the number of open checks is bounded.
class KeyService {
public:
    struct Options {
        std::string busAddress = PolkitAuthority::systemBusAddress;
        std::string tpmTransport = TpmDevice::defaultTransport;
        std::filesystem::path stateDir = "/var/lib/hushcoffer-keyd";
        // 0: never end by itself.
        std::chrono::seconds idleExit{30};
        std::chrono::seconds tokenLifetime{120};
    };

    explicit KeyService(Options options);
    ~KeyService();
    KeyService(const KeyService&) = delete;
    KeyService& operator=(const KeyService&) = delete;

    // Takes the bus name and serves until idle or the bus goes away. Returns
    // the exit status (0 after an idle end); a failure to start is reported
    // on standard error.
    int run();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vaultkit
