#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <optional>
#include <string>

namespace vaulttest {

// A real Secret Service for tests: gnome-keyring-daemon with a login keyring
// of its own (in a temporary folder, unlocked with `loginPassword` on its
// standard input) on a private session bus.
//
// The bus is made once per process, on first use. While a TestKeyring lives
// it is the process's session bus (DBUS_SESSION_BUS_ADDRESS; the previous
// value comes back when the object goes), so every keyring client of the
// process and of the programs it starts talks to it; a client library that
// keeps its first connection stays on it. It activates nothing: no keyring
// starts by itself, and the keyring's unlock prompt cannot be shown (a
// prompt ends as dismissed).
class TestKeyring {
public:
    static constexpr const char* loginPassword = "keyring login 42";

    // Starts the service unless `running` is false.
    explicit TestKeyring(bool running = true);
    ~TestKeyring();
    TestKeyring(const TestKeyring&) = delete;
    TestKeyring& operator=(const TestKeyring&) = delete;

    // Starts the daemon (the keyring on disk is kept between runs) and waits
    // until it owns org.freedesktop.secrets.
    void start();
    // Ends the daemon and waits until the name is gone.
    void stop();
    // Locks the login keyring (the service's Lock: no prompt).
    void lock();
    // The daemon's process id (-1 when it is not running).
    pid_t daemonPid() const { return daemon_ ? daemon_->pid() : -1; }
    // How many unlock prompts the service was asked to show.
    int promptsAsked() const;

    // One stored item as the desktop's own tool (secret-tool) sees it.
    struct Item {
        std::string label;
        std::string secret;
    };
    // The items with application "hushcoffer" and this vault id.
    std::vector<Item> items(const std::string& vaultId) const;
    // Stores an item for the vault in the service's in-memory "session"
    // keyring, as a user moving the item to another keyring would.
    void storeInSessionKeyring(const std::string& vaultId, const std::string& secret) const;

    // The session bus of the process (started on first call).
    static const std::string& busAddress();
    // The folder of the keyring files (XDG_DATA_HOME of the daemon).
    std::filesystem::path dataHome() const { return dir_ / "data"; }

private:
    std::optional<std::string> previousBus_;
    TempDir dir_{"hc-keyring"};
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace vaulttest
