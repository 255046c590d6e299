#include "cli/CliApp.h"

#include "cli/BackupCommand.h"
#include "cli/CliText.h"
#include "cli/CredentialCommands.h"
#include "cli/ImportCommand.h"
#include "cli/SecretReader.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/diskimage/GocryptfsConflicts.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/keyring/SecretServiceKeyring.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/record/SupportFolder.h"
#include "vaultkit/vault/LockedLook.h"
#include "vaultkit/vault/VaultLocator.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <ostream>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

namespace cli {

namespace fs = std::filesystem;
using vaultkit::Vault;
using vaultkit::VaultError;
using vaultkit::Registry::standardized;

namespace {

// The claim of a running conflict watcher, let go first when a lock ends it
// (SIGTERM): the lock waits for the claim, and the rest of the process's end
// (taking down its inotify watches waits for the kernel) need not hold it up.
volatile std::sig_atomic_t watcherClaim = -1;

void endWatcher(int sig) {
    const int claim = watcherClaim;
    if (claim >= 0) ::close(claim);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

const char* progressText(const std::string& key) {
    if (key == "create") return "Creating the encrypted image…";
    if (key == "verify") return "Checking the new vault…";
    if (key == "done") return "Done.";
    return nullptr;
}

} // namespace

fs::path CliApp::supportDirectory() {
    return vaultkit::SupportFolder::path();
}

fs::path CliApp::registryFile() const {
    return supportDirectory() / std::string(vaultkit::Registry::fileName);
}

std::shared_ptr<Vault> CliApp::resolve(const std::string& argument) {
    return vaultkit::VaultLocator::open(argument);
}

int CliApp::run(const std::vector<std::string>& argv) {
    // backup has subcommands with options of their own: it reads its arguments itself.
    if (!argv.empty() && BackupCommand::handles(argv[0])) {
        try {
            return BackupCommand(out_, err_).run({argv.begin() + 1, argv.end()});
        } catch (const std::exception& e) {
            return failure(e);
        }
    }
    CommandLine line;
    try {
        line = CommandLine::parse(argv);
    } catch (const CommandLine::UsageError& e) {
        return usageError("", e.what());
    }
    if (line.command.empty()) {
        if (line.help) {
            out_ << CommandLine::usage("");
            return exitOK;
        }
        return usageError("", "no command given");
    }
    if (line.help) {
        out_ << CommandLine::usage(line.command);
        return exitOK;
    }
    Vault::setBackupDirectory(supportDirectory() / "backups");
    Vault::setPreferencesDirectory(supportDirectory());
    try {
        return dispatch(line);
    } catch (const VaultError& e) {
        if (e.kind() == VaultError::Case::busy) {
            err_ << "hushcoffer-cli: " << CliText::describe(e) << '\n';
            return exitBusy;
        }
        return failure(e);
    } catch (const NotAVault&) {
        err_ << "hushcoffer-cli: " << CliText::errorText("err.notAVault", {}) << '\n';
        return exitFailure;
    } catch (const std::exception& e) {
        return failure(e);
    }
}

int CliApp::dispatch(const CommandLine& line) {
    const std::string& c = line.command;
    if (c == "create") return create(line);
    if (c == "unlock") return unlock(line);
    if (c == "lock") return lock(line);
    if (c == "check") return check(line);
    if (c == "check-data") return checkData(line);
    if (c == "watch-conflicts") return watchConflicts(line);
    if (c == "status") return status(line);
    if (c == "add") return add(line);
    if (c == "forget") return forget(line);
    if (c == "mount-mode") return mountMode(line);
    if (CredentialCommands::handles(c)) return CredentialCommands(out_, err_).run(line);
    if (ImportCommand::handles(c)) return ImportCommand(out_, err_).run(line);
    return usageError("", "unknown command: " + c);
}

int CliApp::usageError(const std::string& command, const std::string& message) {
    err_ << "hushcoffer-cli: " << message << '\n' << CommandLine::usage(command);
    return exitUsage;
}

int CliApp::failure(const std::exception& error) {
    err_ << "hushcoffer-cli: " << CliText::describe(error) << '\n';
    return exitFailure;
}

namespace {

// Which sync clients cover the vault's visible folder and whether each leaves
// it out, one line each on standard error (standard output keeps its columns).
void reportSyncCoverage(std::ostream& err, const Vault& vault, const vaultkit::SyncExclusion::Result& result) {
    for (const auto& line : vaultkit::SyncExclusion::explain(result))
        err << vault.name() << ": " << CliText::errorText(line.key, line.args) << '\n';
}

void reportSyncCoverage(std::ostream& err, const Vault& vault) {
    reportSyncCoverage(err, vault, vaultkit::SyncExclusion::inspect(vault.mountPoint()));
}

// For a vault open outside its visible folder: where, and why, on standard
// error (standard output names the place).
void reportElsewhere(std::ostream& err, const Vault& vault, const fs::path& open,
                     const vaultkit::SyncExclusion::Result& coverage) {
    const auto why = vaultkit::SyncExclusion::elsewhere(coverage, open);
    err << vault.name() << ": " << CliText::errorText(why.key, why.args) << '\n';
}

void reportElsewhere(std::ostream& err, const Vault& vault) {
    const fs::path open = vault.openFolder();
    if (open == vault.mountPoint()) return;
    reportElsewhere(err, vault, open, vaultkit::SyncExclusion::inspect(vault.mountPoint()));
}

} // namespace

void CliApp::reportStatus(const Vault& vault, vaultkit::DiskImage::MountState state) {
    using State = vaultkit::DiskImage::MountState;
    const char* word = state == State::mounted ? "unlocked" : state == State::stale ? "stale" : "locked";
    // where the files are: the place the volume is mounted on (outside the
    // synced tree for a vault whose sync client cannot leave its folder out)
    const fs::path visible = vault.mountPoint();
    const fs::path where = state == State::notMounted ? visible : vault.openFolder();
    out_ << vault.name() << '\t' << word << '\t' << where.string() << '\n';
    // one look at the sync clients serves both reports
    const auto coverage = vaultkit::SyncExclusion::inspect(visible);
    if (where != visible) reportElsewhere(err_, vault, where, coverage);
    reportSyncCoverage(err_, vault, coverage);
}

void CliApp::noteSetAside(const std::optional<fs::path>& aside) {
    if (aside)
        err_ << "hushcoffer-cli: the vault list could not be read; it was kept as " << aside->string()
             << " and a new list started\n";
}

bool CliApp::registerVault(const Vault& vault) {
    const fs::path file = registryFile();
    std::vector<std::string> paths = vaultkit::Registry::read(file).value_or(std::vector<std::string>{});
    const std::string mine = standardized(vault.dir());
    for (const auto& p : paths)
        if (standardized(p) == mine) return false;
    paths.push_back(mine);
    noteSetAside(vaultkit::Registry::write(file, paths));
    return true;
}

int CliApp::create(const CommandLine& line) {
    if (line.args.size() != 2) return usageError("create", "create needs PARENT and NAME");
    SecretReader reader(line.passwordStdin);
    Secret password = reader.read("Password for the new vault: ");
    Vault::validate(password.str());
    if (!line.passwordStdin) {
        Secret again = reader.read("Repeat the password: ");
        if (!(again == password)) {
            err_ << "hushcoffer-cli: The passwords do not match.\n";
            return exitFailure;
        }
    }
    const vaultkit::Mnemonic mnemonic = vaultkit::Mnemonic::generate();
    auto vault = Vault::create(fs::absolute(line.args[0]), line.args[1], password.str(), mnemonic,
                               [this](const std::string& key) {
                                   if (const char* t = progressText(key)) err_ << t << '\n' << std::flush;
                               });
    password.wipe();

    std::string phrase = mnemonic.phrase();
    out_ << phrase << std::endl;
    OPENSSL_cleanse(phrase.data(), phrase.size());
    err_ << "Write down these twelve words, in order, and keep them somewhere safe: they are the only way\n"
            "back into the vault if you forget the password. Anyone who has them can open the vault.\n";
    err_ << "Vault \"" << vault->name() << "\" created and unlocked at " << vault->openFolder().string()
         << "\n";
    reportElsewhere(err_, *vault);
    try {
        registerVault(*vault);
    } catch (const std::exception& e) {
        err_ << "hushcoffer-cli: the vault was created but could not be registered: " << CliText::describe(e)
             << '\n';
    }
    return exitOK;
}

int CliApp::unlock(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("unlock", "unlock needs one VAULT");
    auto vault = resolve(line.args[0]);
    switch (vault->mountState()) {
    case vaultkit::DiskImage::MountState::mounted:
        out_ << "Already unlocked: " << vault->openFolder().string() << '\n';
        reportElsewhere(err_, *vault);
        return exitOK;
    case vaultkit::DiskImage::MountState::stale:
        // Unlocking clears the dead mount first.
        err_ << CliText::errorText("stale.note", {}) << '\n';
        break;
    case vaultkit::DiskImage::MountState::notMounted:
        break;
    }
    if (line.keyring) {
        std::optional<std::string> stored;
        try {
            stored = vaultkit::SecretServiceKeyring().password(vault->config().id.text());
        } catch (const vaultkit::KeyringError& e) {
            err_ << "hushcoffer-cli: " << keyringText(e) << '\n';
            return exitFailure;
        }
        if (stored) {
            Secret password;
            const bool fits =
                std::all_of(stored->begin(), stored->end(), [&](char c) { return password.push(c); });
            OPENSSL_cleanse(stored->data(), stored->size());
            if (!fits) {
                err_ << "hushcoffer-cli: the password stored in the keyring is too long\n";
                return exitFailure;
            }
            try {
                vault->unlock(password.str());
            } catch (const VaultError& e) {
                if (e.kind() != VaultError::Case::wrongPassword) throw;
                err_ << "hushcoffer-cli: the password stored in the keyring does not open \"" << vault->name()
                     << "\" (it was changed since it was stored)\n";
                return exitFailure;
            }
            out_ << "Unlocked: " << vault->openFolder().string() << '\n';
            reportElsewhere(err_, *vault);
            reportSyncCoverage(err_, *vault);
            giveUnlockedLook(*vault);
            startConflictWatcher(*vault);
            return exitOK;
        }
        err_ << "No password for \"" << vault->name() << "\" is stored in the keyring.\n";
    }
    SecretReader reader(line.passwordStdin);
    Secret password = reader.read("Password for \"" + vault->name() + "\": ");
    vault->unlock(password.str());
    out_ << "Unlocked: " << vault->openFolder().string() << '\n';
    reportElsewhere(err_, *vault);
    reportSyncCoverage(err_, *vault);
    giveUnlockedLook(*vault);
    startConflictWatcher(*vault);
    return exitOK;
}

void CliApp::startConflictWatcher(const Vault& vault) {
    // A process of its own makes the conflict copies visible and keeps
    // watching while the vault stays unlocked (see
    // GocryptfsConflictWatcher::claim): this one ends now, and nothing else
    // may be running (a script, a service, a login without the window). Its
    // first pass reads the whole vault, so it runs there, after "Unlocked",
    // never before it. A vault whose driver has no control socket is left
    // by the watcher itself (watch-conflicts ends at once).
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    const std::string program = self.string();
    const std::string mountPoint = vault.mountPoint().string();
    std::vector<std::string> args = {program, "watch-conflicts", "--", mountPoint};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    // Its own session, in "/" (never inside a mount it would keep busy),
    // without this process's terminal or pipes.
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ::posix_spawn_file_actions_addchdir_np(&actions, "/");
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        err_ << "hushcoffer-cli: conflict copies are not watched while \"" << vault.name()
             << "\" stays unlocked: " << std::strerror(rc) << '\n';
}

int CliApp::watchConflicts(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("watch-conflicts", "watch-conflicts needs one VAULT");
    auto vault = resolve(line.args[0]);
    const auto controlSocket = vault->conflictControlSocket();
    if (!controlSocket || vault->mountState() != vaultkit::DiskImage::MountState::mounted) {
        err_ << "hushcoffer-cli: \"" << vault->name() << "\" is not unlocked\n";
        return exitFailure;
    }
    const fs::path socket = *controlSocket;
    const int claim = vaultkit::GocryptfsConflictWatcher::claim(socket);
    if (claim < 0) {
        err_ << "\"" << vault->name() << "\" is watched already.\n";
        return exitOK;
    }
    watcherClaim = claim;
    struct sigaction onTerm {};
    onTerm.sa_handler = endWatcher;
    ::sigemptyset(&onTerm.sa_mask);
    ::sigaction(SIGTERM, &onTerm, nullptr);
    std::mutex mutex;
    {
        vaultkit::GocryptfsConflictWatcher watcher(
            vault->image(), vault->openFolder(), socket,
            [&](const std::string& text) {
                std::lock_guard lock(mutex);
                err_ << text << '\n' << std::flush;
            },
            {});
        // Until the mount goes: the mount table wakes every reader on a change.
        const int table = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        for (;;) {
            pollfd ready{table, POLLPRI, 0};
            if (table >= 0) ::poll(&ready, 1, 60'000);
            else ::sleep(2);
            if (table >= 0) {
                char buf[4096];
                ::lseek(table, 0, SEEK_SET);
                while (::read(table, buf, sizeof buf) > 0) {
                }
            }
            if (vault->mountState() != vaultkit::DiskImage::MountState::mounted) break;
        }
        if (table >= 0) ::close(table);
    }
    ::signal(SIGTERM, SIG_DFL);
    watcherClaim = -1;
    ::close(claim);
    return exitOK;
}

std::string CliApp::keyringText(const vaultkit::KeyringError& error) {
    switch (error.kind()) {
    case vaultkit::KeyringError::Kind::noService:
        return CliText::errorText("err.keyringNoService", {});
    case vaultkit::KeyringError::Kind::locked:
        return CliText::errorText("err.keyringLocked", {});
    case vaultkit::KeyringError::Kind::failed:
    case vaultkit::KeyringError::Kind::cancelled:
        break;
    }
    return CliText::errorText("err.keyringFailed", {error.what()});
}

fs::path CliApp::lockedIconFile() {
    std::error_code ec;
    const fs::path icon = supportDirectory() / vaultkit::LockedLook::iconFileName;
    return fs::is_regular_file(icon, ec) ? icon : fs::path();
}

void CliApp::giveUnlockedLook(const Vault& vault) {
    // GIO keeps the locked icon by path: without this the open volume would
    // show it. Only where the icon can have been set (Hushcoffer drew it).
    if (lockedIconFile().empty()) return;
    // A vault open elsewhere leaves its visible folder locked-looking.
    if (vault.openFolder() != vault.mountPoint()) return;
    for (const auto& problem : vaultkit::LockedLook::applyUnlocked(vault.mountPoint()))
        err_ << "hushcoffer-cli: folder look: " << problem << '\n';
}

void CliApp::giveLockedLook(const Vault& vault) {
    // The look the application gives a locked folder, with the icon it drew
    // into its support folder (none before the application ever ran) and the
    // launcher link when the application is installed beside this tool.
    vaultkit::LockedLook::Settings settings;
    settings.iconFile = lockedIconFile().string();
    std::error_code ec;
    settings.launcherName = CliText::errorText("launcher.name", {});
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path app = fs::canonical(self.parent_path() / "hushcoffer", ec);
        if (!ec)
            if (const auto desktopFile = vaultkit::LockedLook::installedDesktopFile(app.string()))
                settings.desktopFile = *desktopFile;
    }
    for (const auto& problem : vaultkit::LockedLook::applyLocked(vault.mountPoint(), settings))
        err_ << "hushcoffer-cli: folder look: " << problem << '\n';
}

int CliApp::lock(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("lock", "lock needs one VAULT");
    auto vault = resolve(line.args[0]);
    vault->lock(line.force);
    giveLockedLook(*vault);
    out_ << "Locked: " << vault->mountPoint().string() << '\n';
    return exitOK;
}

int CliApp::check(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("check", "check needs one VAULT");
    auto vault = resolve(line.args[0]);
    SecretReader reader(line.passwordStdin);
    Secret password = reader.read("Password for \"" + vault->name() + "\": ");
    if (vault->isUnlocked()) {
        // This process did not unlock it, so there is no remembered password
        // to compare with: ask the image itself (no mount involved).
        vault->confirmWithImage(password.str());
    } else {
        vault->confirm(password.str());
    }
    out_ << "The password is correct.\n";
    return exitOK;
}

int CliApp::checkData(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("check-data", "check-data needs one VAULT");
    auto vault = resolve(line.args[0]);
    if (vault->isUnlocked()) {
        err_ << "hushcoffer-cli: lock \"" << vault->name() << "\" first: its encrypted data is checked while it is locked\n";
        return exitFailure;
    }
    SecretReader reader(line.passwordStdin);
    Secret password = reader.read("Password for \"" + vault->name() + "\": ");
    err_ << "Checking the encrypted data of \"" << vault->name() << "\"; this reads every file…\n" << std::flush;
    const auto result = vault->checkData(password.str());
    password.wipe();
    // What is no damage goes to standard error, so that standard output
    // stays one damaged path a line.
    if (!result.conflictCopies.empty())
        err_ << result.conflictCopies.size()
             << (result.conflictCopies.size() == 1 ? " sync conflict copy is" : " sync conflict copies are")
             << " whole but not shown yet; Hushcoffer shows "
             << (result.conflictCopies.size() == 1 ? "it" : "them") << " beside the original once the vault is unlocked:\n";
    for (const auto& path : result.conflictCopies)
        err_ << "  conflict copy: " << path << '\n';
    if (!result.syncTemporaries.empty())
        err_ << result.syncTemporaries.size()
             << (result.syncTemporaries.size() == 1 ? " temporary file" : " temporary files")
             << " of a sync client (downloads in progress or given up; no damage, the client removes them):\n";
    for (const auto& path : result.syncTemporaries)
        err_ << "  sync temporary file: " << path << '\n';
    if (result.whole()) {
        out_ << "No damage found: every file of \"" << vault->name() << "\" is whole.\n";
        return exitOK;
    }
    for (const auto& path : result.damaged)
        out_ << path << '\n';
    const bool one = result.damagedCount == 1;
    err_ << result.damagedCount << (one ? " item" : " items") << " damaged. Restore "
         << (one ? "it" : "them") << " from a backup; the rest of the vault is whole.\n";
    return exitDamaged;
}

int CliApp::status(const CommandLine& line) {
    if (!line.args.empty()) {
        int rc = exitOK;
        for (const auto& arg : line.args) {
            try {
                const auto vault = resolve(arg);
                reportStatus(*vault, vault->mountState());
            } catch (const NotAVault&) {
                err_ << "hushcoffer-cli: " << arg << ": " << CliText::errorText("err.notAVault", {}) << '\n';
                rc = exitFailure;
            } catch (const std::exception& e) {
                err_ << "hushcoffer-cli: " << arg << ": " << CliText::describe(e) << '\n';
                rc = exitFailure;
            }
        }
        return rc;
    }
    const fs::path list = registryFile();
    auto read = vaultkit::Registry::read(list);
    if (!read && vaultkit::Registry::isUnreadable(list)) {
        err_ << "hushcoffer-cli: cannot read the vault list " << list.string()
             << " (it is left as it is; the next change to the list keeps it under another name)\n";
        return exitFailure;
    }
    auto paths = std::move(read).value_or(std::vector<std::string>{});
    if (paths.empty()) {
        err_ << "No vaults registered. Create one with \"hushcoffer-cli create PARENT NAME\" or add one with "
                "\"hushcoffer-cli add VAULT\".\n";
        return exitOK;
    }
    std::vector<std::shared_ptr<Vault>> vaults;
    for (const auto& p : paths) {
        try {
            vaults.push_back(Vault::open(p));
        } catch (const std::exception& e) {
            // Like the application: a registered vault that cannot be opened
            // is reported and skipped.
            err_ << "hushcoffer-cli: cannot open vault at " << p << ": " << CliText::describe(e) << '\n';
        }
    }
    // one read of the mount table for all of them
    const auto states = Vault::mountStates(vaults);
    for (std::size_t i = 0; i < vaults.size(); ++i) {
        reportStatus(*vaults[i], states[i]);
    }
    return exitOK;
}

int CliApp::add(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("add", "add needs one VAULT");
    auto vault = resolve(line.args[0]);
    // Its visible folder may be made here (the locked look): keep sync
    // clients out of it before anything is.
    // A client that cannot be kept out does not stop the adding: such a
    // vault opens outside the synced folder (the lines below say so).
    vaultkit::SyncExclusion::Result excluded;
    try {
        excluded = vaultkit::SyncExclusion::apply(vault->mountPoint());
    } catch (const VaultError& e) {
        if (e.kind() != VaultError::Case::io) throw;
        excluded = vaultkit::SyncExclusion::inspect(vault->mountPoint());
    }
    if (registerVault(*vault))
        out_ << "Added \"" << vault->name() << "\": " << vault->dir().string() << '\n';
    else
        out_ << "Already registered: " << vault->dir().string() << '\n';
    reportSyncCoverage(err_, *vault, excluded);
    return exitOK;
}

int CliApp::forget(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("forget", "forget needs one VAULT");
    const fs::path file = registryFile();
    std::vector<std::string> paths = vaultkit::Registry::read(file).value_or(std::vector<std::string>{});
    // By path, so a vault whose folder is gone can be forgotten too.
    for (const auto& candidate : vaultkit::VaultLocator::candidates(line.args[0])) {
        const std::string wanted = standardized(candidate);
        auto kept = paths;
        std::erase_if(kept, [&](const std::string& p) { return standardized(p) == wanted; });
        if (kept.size() == paths.size()) continue;
        noteSetAside(vaultkit::Registry::write(file, kept));
        // This computer's settings of the vault go with it (when its record
        // can still be read: they are kept by its id).
        try {
            const auto vault = Vault::open(wanted);
            vault->forgetThisComputersRecords();
        } catch (const std::exception&) {
        }
        out_ << "Forgot: " << wanted << '\n';
        return exitOK;
    }
    err_ << "hushcoffer-cli: not a registered vault: " << line.args[0] << '\n';
    return exitFailure;
}

int CliApp::mountMode(const CommandLine& line) {
    using vaultkit::MountModePolicy;
    if (line.args.empty() || line.args.size() > 2)
        return usageError("mount-mode", "mount-mode needs one VAULT and at most one mode");
    auto vault = resolve(line.args[0]);
    if (line.args.size() == 2) {
        const auto choice = MountModePolicy::parseChoice(line.args[1]);
        if (!choice) return usageError("mount-mode", "the mode is automatic, local or shared: " + line.args[1]);
        vault->setMountModeChoice(*choice);
    }
    const auto decision = vault->mountModeDecision();
    const auto why = MountModePolicy::explain(decision);
    out_ << vault->name() << '\t' << MountModePolicy::name(decision.mode) << '\t'
         << MountModePolicy::name(decision.choice) << '\n';
    err_ << CliText::errorText(why.key, why.args) << '\n';
    if (line.args.size() == 2 && vault->mountState() != vaultkit::DiskImage::MountState::notMounted)
        err_ << CliText::errorText("mountMode.nextUnlock", {}) << '\n';
    // The mount there is now, as its daemon was started (the line above is
    // the next unlock's).
    if (vault->mountState() == vaultkit::DiskImage::MountState::mounted) {
        if (const auto now = MountModePolicy::ofMount(vault->openFolder())) {
            const bool shared = *now == vaultkit::DiskImage::MountMode::shared;
            out_ << vault->name() << "\tmounted\t" << MountModePolicy::name(*now) << '\n';
            err_ << CliText::errorText(shared ? "mountMode.current.shared" : "mountMode.current.local", {}) << '\n';
        }
    }
    return exitOK;
}

} // namespace cli
