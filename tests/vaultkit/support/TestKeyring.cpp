#include "support/TestKeyring.h"

#include "vaultkit/process/Exec.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace vaulttest {

namespace {

constexpr const char* kServiceName = "org.freedesktop.secrets";

std::string run(const std::string& tool, const std::vector<std::string>& args, int* status = nullptr) {
    const auto r = vaultkit::Exec::runSync(tool, args, std::nullopt, 30);
    if (status) *status = r.status;
    return r.stdoutText();
}

bool nameOwned() {
    const std::string out = run("/usr/bin/gdbus", {"call", "--session", "--dest", "org.freedesktop.DBus",
                                                   "--object-path", "/org/freedesktop/DBus", "--method",
                                                   "org.freedesktop.DBus.NameHasOwner", kServiceName});
    return out.find("true") != std::string::npos;
}

struct Bus {
    TempDir dir{"hc-bus"};
    std::unique_ptr<ChildProcess> daemon;
    std::string address;

    Bus() {
        const fs::path config = dir / "bus.conf";
        writeFile(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig>\n"
                  "  <type>session</type>\n"
                  "  <listen>unix:dir=" +
                      dir.path().string() +
                      "</listen>\n"
                      "  <policy context=\"default\">\n"
                      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                      "    <allow eavesdrop=\"true\"/>\n"
                      "    <allow own=\"*\"/>\n"
                      "  </policy>\n"
                      "</busconfig>\n");
        // Its notes go nowhere (a caller reading the test's output must not
        // wait for it), and it ends with the test process, even one that
        // crashed.
        daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "exec /usr/bin/setpriv --pdeathsig TERM -- /usr/bin/dbus-daemon "
                                     "--config-file=\"$1\" --nofork --print-address=1 2>/dev/null",
                                     "sh", config.string()},
            std::vector<std::string>{}, true);
        auto line = daemon->readLine(20);
        if (!line || line->empty()) throw std::runtime_error("the test bus did not start");
        address = *line;
    }
};

} // namespace

const std::string& TestKeyring::busAddress() {
    static Bus bus;
    return bus.address;
}

TestKeyring::TestKeyring(bool running) {
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousBus_ = previous;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress().c_str(), 1);
    fs::create_directories(dir_ / "data");
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    writeFile(dir_ / "login-password", loginPassword);
    if (running) start();
}

TestKeyring::~TestKeyring() {
    stop();
    if (previousBus_)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", previousBus_->c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void TestKeyring::start() {
    if (daemon_) return;
    // The password on standard input, the warnings (one per prompt it could
    // not show) appended to a file.
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c",
        "exec /usr/bin/setpriv --pdeathsig TERM -- /usr/bin/env HOME=\"$1\" XDG_DATA_HOME=\"$1/data\" "
        "XDG_RUNTIME_DIR=\"$1/run\" DBUS_SESSION_BUS_ADDRESS=\"$2\" /usr/bin/gnome-keyring-daemon "
        "--foreground --unlock "
        "--components=secrets <\"$1/login-password\" 2>>\"$1/daemon.log\"",
        "sh", dir_.path().string(), busAddress()});
    if (!waitUntil(nameOwned, 20)) throw std::runtime_error("gnome-keyring-daemon did not start");
}

void TestKeyring::stop() {
    if (!daemon_) return;
    daemon_->stop();
    daemon_.reset();
    waitUntil([] { return !nameOwned(); }, 20);
}

void TestKeyring::lock() {
    int status = 0;
    run("/usr/bin/gdbus",
        {"call", "--session", "--dest", kServiceName, "--object-path", "/org/freedesktop/secrets", "--method",
         "org.freedesktop.Secret.Service.Lock", "['/org/freedesktop/secrets/collection/login']"},
        &status);
    if (status != 0) throw std::runtime_error("the keyring could not be locked");
}

int TestKeyring::promptsAsked() const {
    std::ifstream in(dir_ / "daemon.log");
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find("couldn't create system prompt") != std::string::npos) ++n;
    return n;
}

void TestKeyring::storeInSessionKeyring(const std::string& vaultId, const std::string& secret) const {
    const auto r = vaultkit::Exec::runSync("/usr/bin/secret-tool",
                                           {"store", "--label=moved",
                                            "--collection=/org/freedesktop/secrets/collection/session",
                                            "application", "hushcoffer", "vault", vaultId},
                                           vaultkit::Bytes(secret.begin(), secret.end()), 30);
    if (r.status != 0) throw std::runtime_error("secret-tool store failed: " + r.stderrText);
}

std::vector<TestKeyring::Item> TestKeyring::items(const std::string& vaultId) const {
    // "secret-tool search --all" prints each item as "[path]" followed by
    // "key = value" lines (label, secret, created, modified, attribute.*).
    const std::string out =
        run("/usr/bin/secret-tool", {"search", "--all", "application", "hushcoffer", "vault", vaultId});
    std::vector<Item> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.front() == '[') {
            found.emplace_back();
            continue;
        }
        if (found.empty()) continue;
        if (line.rfind("label = ", 0) == 0) found.back().label = line.substr(8);
        if (line.rfind("secret = ", 0) == 0) found.back().secret = line.substr(9);
    }
    return found;
}

} // namespace vaulttest
