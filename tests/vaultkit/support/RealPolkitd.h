#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <string>

namespace vaulttest {

// The distribution's polkitd on a private system bus (it gives up root for
// its own user) in a mount namespace of its own, where it sees this package's action only (the
// policy in the source tree), the test's rules (JavaScript, as in
// /etc/polkit-1/rules.d) and the built translations of the prompt in place of
// /usr/share/locale. A German locale (de_DE.UTF-8) is made for it, so that
// an agent registered with that locale gets the German texts. Needs root.
class RealPolkitd {
public:
    static constexpr const char* program = "/usr/lib/polkit-1/polkitd";
    // Whether polkitd, localedef and the German locale's source are here.
    static bool usable(std::string* why);

    // Starts polkitd on `busAddress` (a bus whose policy lets the polkitd
    // user own org.freedesktop.PolicyKit1) and waits until it owns the name.
    RealPolkitd(const std::string& busAddress, const std::string& rules);
    ~RealPolkitd();
    RealPolkitd(const RealPolkitd&) = delete;
    RealPolkitd& operator=(const RealPolkitd&) = delete;

private:
    TempDir dir_{"hc-polkitd"};
    std::unique_ptr<ChildProcess> process_;
};

} // namespace vaulttest
