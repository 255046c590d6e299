#include "support/KeyServiceBus.h"

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/quickunlock/TpmPolkitQuickUnlock.h"

#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef HC_KEYD_PROGRAM
#error "HC_KEYD_PROGRAM must name the built hushcoffer-keyd"
#endif
#ifndef HC_SOURCE_DIR
#error "HC_SOURCE_DIR must name the source tree"
#endif

namespace fs = std::filesystem;

namespace vaulttest {

namespace {

// The system bus's default rules (as the distribution's system.conf has
// them), the mocked authority's, and the package's file for the service.
std::string busConfig(const fs::path& dir) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" + (dir / "bus").string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <servicedir>)" + (dir / "services").string() + R"(</servicedir>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
    <allow send_destination="org.freedesktop.PolicyKit1"/>
  </policy>
  <policy user="root">
    <allow own="org.freedesktop.PolicyKit1"/>
  </policy>
  <include>)" + std::string(HC_SOURCE_DIR) + R"(/resources/linux/app.hushcoffer.KeyService1.conf</include>
  <include ignore_missing="yes">/usr/share/dbus-1/system.d/org.freedesktop.PolicyKit1.conf</include>
</busconfig>
)";
}

} // namespace

bool KeyServiceBus::usable(std::string* why) {
    if (::geteuid() != 0) {
        *why = "needs root (the key service runs as root, its clients as hctest)";
        return false;
    }
    if (!::getpwnam("hctest")) {
        *why = "needs the ordinary user hctest (scripts/run-as-user makes it)";
        return false;
    }
    if (::access("/usr/bin/swtpm", X_OK) != 0) {
        *why = "swtpm is not installed (scripts/install-deps installs it)";
        return false;
    }
    return true;
}

uid_t KeyServiceBus::uidOf(const std::string& user) {
    const passwd* pw = ::getpwnam(user.c_str());
    if (!pw) throw std::runtime_error("no user " + user);
    return pw->pw_uid;
}

KeyServiceBus::KeyServiceBus(const std::string& tpmTransport, const fs::path& stateDir, int idleExitSeconds,
                             const std::optional<std::string>& realPolkitRules) {
    // The clients (another user) reach the bus socket below this folder.
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::create_directory(dir_ / "services");
    {
        std::ofstream conf(dir_ / "bus.conf");
        conf << busConfig(dir_.path());
        std::ofstream service(dir_ / "services" / "app.hushcoffer.KeyService1.service");
        service << "[D-BUS Service]\nName=app.hushcoffer.KeyService1\nExec=" << HC_KEYD_PROGRAM
                << " --bus unix:path=" << (dir_ / "bus").string() << " --tpm " << tpmTransport
                << " --state-dir " << stateDir.string() << " --idle-exit " << idleExitSeconds
                << "\nUser=root\n";
    }
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(),
                                 "--nofork", "--nopidfile", "--print-address=1"},
        std::vector<std::string>{}, true);
    const auto line = bus_->readLine(10);
    if (!line || line->empty()) throw std::runtime_error("the private system bus did not start");
    address_ = *line;
    if (realPolkitRules)
        realPolkit_ = std::make_unique<RealPolkitd>(address_, *realPolkitRules);
    else
        polkit_ = std::make_unique<PolkitAuthorityMock>(
            address_, std::vector<std::string>{vaultkit::TpmPolkitQuickUnlock::actionId});
}

PolkitAuthorityMock& KeyServiceBus::polkit() {
    if (!polkit_) throw std::logic_error("this bus has the real polkitd, not the mock");
    return *polkit_;
}

KeyServiceBus::~KeyServiceBus() {
    polkit_.reset();
    realPolkit_.reset();
    // The service ends when its bus goes.
    if (bus_) bus_->stop();
}

std::string KeyServiceBus::serviceName() {
    const auto r = vaultkit::Exec::runSync("/usr/bin/dbus-send",
                                           {"--bus=" + address_, "--print-reply=literal",
                                            "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus.GetNameOwner",
                                            "string:app.hushcoffer.KeyService1"},
                                           std::nullopt, 5);
    if (r.status != 0) return {};
    std::string text = r.stdoutText();
    const auto b = text.find_first_not_of(" \n\t");
    const auto e = text.find_last_not_of(" \n\t");
    return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

std::string KeyServiceBus::runAs(const std::function<std::string()>& fn, const std::string& user) {
    const passwd* pw = ::getpwnam(user.c_str());
    if (!pw) throw std::runtime_error("no user " + user);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
            out = "cannot become " + user;
        } else {
            ::setenv("HOME", "/tmp", 1);
            try {
                out = fn();
            } catch (...) {
                out = "threw: " + outcomeOf([] { throw; });
            }
        }
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        result.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child died (" + std::to_string(status) + ")";
    return result;
}

std::string outcomeOf(const std::function<void()>& fn) {
    try {
        fn();
        return "ok";
    } catch (const vaultkit::VaultError& e) {
        return "VaultError " + std::to_string(static_cast<int>(e.kind())) + ": " + e.what();
    } catch (const vaultkit::CryptoError& e) {
        return std::string("CryptoError: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    } catch (...) {
        return "unknown exception";
    }
}

} // namespace vaulttest
