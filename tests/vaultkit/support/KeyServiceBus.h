#pragma once

#include "support/ChildProcess.h"
#include "support/PolkitAuthorityMock.h"
#include "support/RealPolkitd.h"
#include "support/TestSupport.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vaulttest {

// A private system bus for the quick-unlock key service: a dbus-daemon of
// the test's own with the system bus's default policy and the package's own
// bus policy for the service (resources/linux/app.hushcoffer.KeyService1.conf),
// a mocked polkit authority on it, and an activation file that starts the
// built hushcoffer-keyd (as root, like the system bus does) with this bus, the
// given TPM and state folder. Needs root; clients run as an ordinary user
// through runAs().
class KeyServiceBus {
public:
    // The tests need root (the service) and an ordinary user (the clients).
    static bool usable(std::string* why);

    // The service ends after `idleExitSeconds` without callers (0: never).
    // With `realPolkitRules` the distribution's polkitd answers, with those
    // rules (RealPolkitd), instead of the mocked authority.
    KeyServiceBus(const std::string& tpmTransport, const std::filesystem::path& stateDir,
                  int idleExitSeconds = 0, const std::optional<std::string>& realPolkitRules = std::nullopt);
    ~KeyServiceBus();
    KeyServiceBus(const KeyServiceBus&) = delete;
    KeyServiceBus& operator=(const KeyServiceBus&) = delete;

    const std::string& address() const { return address_; }
    // The mocked authority (a bus with the real polkitd has none).
    PolkitAuthorityMock& polkit();
    // The unique name of the running service ("" when none runs).
    std::string serviceName();

    // Runs `fn` in a child process as `user` (default: the ordinary test user
    // hctest) and returns what it returned; an exception in it becomes
    // "threw: " and its description (outcomeOf).
    static std::string runAs(const std::function<std::string()>& fn, const std::string& user = "hctest");
    static uid_t uidOf(const std::string& user);

private:
    TempDir dir_{"hc-sysbus"};
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<PolkitAuthorityMock> polkit_;
    std::unique_ptr<RealPolkitd> realPolkit_;
    std::string address_;
};

// How a call ended, for comparing across processes: "ok", or for an
// exception the VaultError case number and text, or the exception's type and
// text.
std::string outcomeOf(const std::function<void()>& fn);

} // namespace vaulttest
