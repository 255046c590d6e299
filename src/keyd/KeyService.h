#pragma once

#include "keyd/PolkitAuthority.h"
#include "keyd/TpmDevice.h"

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
// sending connection (its uid, its process, its unique name), never a
// message argument:
//  - CreateKey makes a TPM key whose authorisation value is derived from the
//    service's secret (KeyServiceSecret) and the caller's uid, and records it
//    (KeyServiceKeys); the handle carries that uid. Revoke forgets a key of
//    the caller's: it opens nothing any more.
//  - Authorize asks polkit (CheckAuthorization, subject the caller's bus
//    name, user interaction allowed, the vault's name and the asking program
//    in the details) for the unlock action; when it says yes, the caller gets
//    a token. One token covers the given number of key agreements (the
//    sealed copies of one unlock) with the one key it was asked for, for
//    `tokenLifetime`, from that same connection and uid only, and goes when
//    that connection closes (its open checks are withdrawn then too). A
//    program's new Authorize replaces its open one.
//  - Agree needs such a token and a recorded handle made for the caller's
//    uid.
// Nothing a caller does holds up another: requests are served one per user
// in turn, each user may have only a few waiting, and neither the polkit
// check nor the authority's list of actions is waited for on the loop.
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
