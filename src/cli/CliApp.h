#pragma once

#include "cli/CommandLine.h"

#include "vaultkit/keyring/Keyring.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/vault/VaultLocator.h"

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// hushcoffer-cli: runs one command over the vault library and returns the
// exit status: 0 success, 1 failure (one line on standard error), 2 usage
// error, 3 lock refused because the volume is in use, 5 check-data found damage.
class CliApp {
public:
    static constexpr int exitOK = 0;
    static constexpr int exitFailure = 1;
    static constexpr int exitUsage = 2;
    static constexpr int exitBusy = 3;
    // check-data found damaged data.
    static constexpr int exitDamaged = 5;

    CliApp(std::ostream& out, std::ostream& err)
        : out_(out)
        , err_(err) {}

    int run(const std::vector<std::string>& argv);

    // The support folder the window uses too (SupportFolder::path).
    static std::filesystem::path supportDirectory();
    // The vault a VAULT argument names, as the window finds a picked path
    // (VaultLocator::open): throws the open error of a vault directory that
    // exists but does not open, else NotAVault.
    static std::shared_ptr<vaultkit::Vault> resolve(const std::string& argument);

    using NotAVault = vaultkit::VaultLocator::NotAVault;

private:
    int dispatch(const CommandLine& line);
    int create(const CommandLine& line);
    int unlock(const CommandLine& line);
    static std::string keyringText(const vaultkit::KeyringError& error);
    int lock(const CommandLine& line);
    // The look of a locked folder, as the application gives it; problems go
    // to standard error and change nothing else.
    void giveLockedLook(const vaultkit::Vault& vault);
    void giveUnlockedLook(const vaultkit::Vault& vault);
    // The locked icon the application drew into the support folder (empty
    // when it never did).
    static std::filesystem::path lockedIconFile();
    int check(const CommandLine& line);
    int checkData(const CommandLine& line);
    // Starts "watch-conflicts" for the vault in the background: it gives sync
    // clients' conflict copies a visible "(Conflict N)" name, those left
    // while the vault was locked first.
    void startConflictWatcher(const vaultkit::Vault& vault);
    // Gives conflict copies visible names while the vault stays unlocked;
    // returns once it is locked (or another process watches it).
    int watchConflicts(const CommandLine& line);
    int status(const CommandLine& line);
    int add(const CommandLine& line);
    int forget(const CommandLine& line);
    int mountMode(const CommandLine& line);

    int usageError(const std::string& command, const std::string& message);
    int failure(const std::exception& error);
    // The vault's line of `status` (name, state, where its files are) on
    // standard output, then on standard error where it is open when that is
    // not its visible folder and which sync clients cover it.
    void reportStatus(const vaultkit::Vault& vault, vaultkit::DiskImage::MountState state);
    // Adds the vault to the registry unless it is listed; true when the file
    // was written.
    bool registerVault(const vaultkit::Vault& vault);
    // Tells the user where an unreadable vault list was kept, if it was.
    void noteSetAside(const std::optional<std::filesystem::path>& aside);
    std::filesystem::path registryFile() const;

    std::ostream& out_;
    std::ostream& err_;
};

} // namespace cli
