#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <string>

namespace vaulttest {

// A software TPM 2.0 (swtpm) of its own, started fresh with its state in a
// temporary folder: each instance is another TPM with its own owner seed.
class SoftwareTpm {
public:
    static constexpr const char* program = "/usr/bin/swtpm";
    // Whether swtpm is installed (tests skip without it).
    static bool installed();

    SoftwareTpm();
    ~SoftwareTpm();
    SoftwareTpm(const SoftwareTpm&) = delete;
    SoftwareTpm& operator=(const SoftwareTpm&) = delete;

    // The transport string of the TPM (TpmDevice).
    std::string transport() const;
    // Lets every user reach the TPM (as a udev rule granting the device
    // would), for tests of what a user with the device can do.
    void openToEveryone();
    // Ends the TPM; the transport stops answering.
    void stop();
    // Ends the TPM and starts it again with the same state, as a reboot does.
    void restart();

private:
    void start();

    TempDir dir_{"hc-tpm"};
    std::unique_ptr<ChildProcess> process_;
};

} // namespace vaulttest
