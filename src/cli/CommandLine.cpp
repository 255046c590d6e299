#include "cli/CommandLine.h"

#include <algorithm>

namespace cli {

namespace {

struct CommandInfo {
    const char* name;
    const char* synopsis;
    const char* description;
    bool takesPassword;
    bool takesForce;
    // Options of the command that take a value, e.g. {"idle"}.
    std::vector<std::string> valueOptions = {};
    bool takesKeyring = false;
};

const CommandInfo kCommands[] = {
    {"create", "create [--password-stdin] PARENT NAME",
     "Creates the vault NAME in the folder PARENT: the visible folder PARENT/NAME and the hidden\n"
     "vault directory PARENT/.NAME.hushcoffer. Asks for the password twice; prints the new\n"
     "twelve-word recovery phrase on standard output. The new vault is unlocked and registered.",
     true, false},
    {"unlock",
     "unlock [--password-stdin] [--keyring] VAULT",
     "Unlocks VAULT: mounts its encrypted volume on its visible folder. With --keyring the\n"
     "password stored in the desktop's keyring is used (Hushcoffer stores it when \"Unlock when I\n"
     "log in\" is on; this command never stores one); when none is stored the password is asked\n"
     "as without it. Conflict copies a sync client left in the encrypted data are then given\n"
     "names that show in the vault (\"NAME (Conflict N).EXT\" beside the original), each named on\n"
     "standard error, and so are those that arrive while it stays unlocked (watch-conflicts runs\n"
     "in the background until it is locked).",
     true,
     false,
     {},
     true},
    {"lock", "lock [--force] VAULT",
     "Locks VAULT. A vault in use is not locked (exit status 3, the programs using it are named)\n"
     "unless --force is given: then it is locked even while files are open. The locked folder gets\n"
     "the look Hushcoffer gives it: read-only, the locked icon (once Hushcoffer has drawn it) and\n"
     "a link that opens Hushcoffer (when it is installed).",
     false, true},
    {"check", "check [--password-stdin] VAULT", "Checks that a password is the password of VAULT.", true,
     false},
    {"check-data", "check-data [--password-stdin] VAULT",
     "Reads all the encrypted data of the locked vault VAULT and names every file and folder whose\n"
     "data is damaged (one path inside the vault per line on standard output). Nothing is\n"
     "changed. Sync conflict copies not shown yet and sync clients' temporary files are no\n"
     "damage: they are named on standard error. Exit status 0 when nothing is damaged, 5 when\n"
     "damage was found: restore those files from a backup.",
     true, false},
    {"watch-conflicts", "watch-conflicts VAULT",
     "Gives the conflict copies a sync client brings into the unlocked vault VAULT names that show\n"
     "in the vault, as they arrive, until the vault is locked; then it ends. \"unlock\" starts it\n"
     "in the background; it ends at once when another one watches VAULT.",
     false, false},
    {"status", "status [VAULT...]",
     "One line per vault: name, state, visible folder (separated by tabs). The state is\n"
     "\"unlocked\", \"locked\", or \"stale\": the vault is still mounted but the program that served\n"
     "it has ended (it crashed or was killed), so its folder answers every access with an error;\n"
     "\"unlock\" clears such a mount and mounts the vault again, the files are unharmed. Without\n"
     "arguments: the registered vaults. Exit status 0 whatever the states (1 when a VAULT\n"
     "cannot be read).",
     false, false},
    {"add", "add VAULT", "Adds an existing vault to the list of registered vaults.", false, false},
    {"forget", "forget VAULT",
     "Removes VAULT from the list of registered vaults. Nothing on disk is touched.", false, false},
    {"mount-mode", "mount-mode VAULT [automatic|local|shared]",
     "Shows or sets how VAULT is mounted on this computer. Prints a line with the name, the mode\n"
     "of the next unlock (local or shared) and the choice (separated by tabs), and on standard\n"
     "error why. automatic: shared when the vault lies in a folder a sync client keeps in sync\n"
     "or on a network or cloud drive, local otherwise. local: the fastest; the system keeps\n"
     "decrypted data in memory, so changes another program makes to the encrypted files may\n"
     "show late. shared: every change shows at once, reading and listing are slower. A change\n"
     "takes effect at the next unlock; it is kept for this computer only.",
     false, false},
    {"passwd", "passwd [--password-stdin] VAULT",
     "Changes the password of the locked vault VAULT: asks for the current password, then the new\n"
     "one twice (with --password-stdin: the current and the new password, one per line). The\n"
     "recovery phrase stays the same.",
     true, false},
    {"recover", "recover [--password-stdin] VAULT",
     "Regains access to VAULT with its recovery phrase: asks for the phrase (words separated by\n"
     "spaces or commas; the first four letters of each word are enough), then for a new password\n"
     "twice (with --password-stdin: the phrase and the new password, one per line). The vault\n"
     "is left unlocked with the new password.",
     true, false},
    {"new-phrase", "new-phrase [--password-stdin] VAULT",
     "Makes a new recovery phrase for VAULT and prints it on standard output. The old phrase\n"
     "stops working at once.",
     true, false},
    {"autolock",
     "autolock VAULT [--sleep on|off] [--screen on|off] [--idle MINUTES]",
     "Shows or changes when VAULT locks itself: when the computer goes to sleep, when the\n"
     "screen locks, after MINUTES without input (0: never). Prints the settings as they are\n"
     "after the change.",
     false,
     false,
     {"sleep", "screen", "idle"}},
    {"backup", "backup push|list|restore|check|prune ...",
     "Snapshots of a vault's encrypted data in a backup store; hushcoffer-cli backup --help\n"
     "describes the subcommands.",
     false, false},
    {"import", "import VAULT PATH...",
     "Copies each PATH (a file or a folder) into the unlocked vault VAULT and checks the copy\n"
     "entry by entry. One line per PATH: \"ok\" or \"failed\", the PATH, where it went, and the\n"
     "entries and bytes copied or the problems found. Exit status 1 when any PATH failed.",
     false, false},
};

// Whether some command has an option "--name" that takes a value.
bool isValueOption(const std::string& option) {
    if (option.rfind("--", 0) != 0) return false;
    const std::string name = option.substr(2);
    for (const auto& c : kCommands)
        for (const auto& v : c.valueOptions)
            if (v == name) return true;
    return false;
}

const CommandInfo* find(const std::string& name) {
    for (const auto& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

} // namespace

const std::vector<std::string>& CommandLine::commands() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const auto& c : kCommands)
            out.emplace_back(c.name);
        return out;
    }();
    return names;
}

std::string CommandLine::usage(const std::string& command) {
    if (const CommandInfo* c = find(command)) {
        std::string text =
            std::string("usage: hushcoffer-cli ") + c->synopsis + "\n\n" + c->description + "\n";
        text +=
            "\nVAULT is the vault's visible folder, its hidden vault directory, or an item inside that.\n";
        if (c->takesPassword)
            text += "Secrets are asked on the terminal without echo; with --password-stdin they are read\n"
                    "from standard input, one line each.\n";
        return text;
    }
    std::string text = "usage: hushcoffer-cli COMMAND [OPTIONS] [ARGUMENTS]\n\nCommands:\n";
    for (const auto& c : kCommands)
        text += std::string("  ") + c.synopsis + "\n";
    text += "\nhushcoffer-cli COMMAND --help describes one command.\n"
            "Exit status: 0 success, 1 failure, 2 usage error, 3 vault in use, 5 damaged data found\n"
            "(check-data).\n"
            "Registered vaults are kept in vaults.json in $HC_SUPPORT_DIR, else in the application's data "
            "folder.\n";
    return text;
}

CommandLine CommandLine::parse(const std::vector<std::string>& argv) {
    CommandLine line;
    bool optionsEnded = false;
    std::vector<std::string> options;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            options.push_back(a);
            // "--idle 5": the value is the next word.
            if (isValueOption(a) && i + 1 < argv.size()) options.back() += "=" + argv[++i];
        } else if (line.command.empty()) {
            line.command = a;
        } else {
            line.args.push_back(a);
        }
    }
    const CommandInfo* info = nullptr;
    if (!line.command.empty()) {
        info = find(line.command);
        if (!info) throw UsageError("unknown command: " + line.command);
    }
    for (const auto& o : options) {
        if (o == "--help" || o == "-h") {
            line.help = true;
        } else if (o == "--password-stdin" && info && info->takesPassword) {
            line.passwordStdin = true;
        } else if ((o == "--force" || o == "-f") && info && info->takesForce) {
            line.force = true;
        } else if (o == "--keyring" && info && info->takesKeyring) {
            line.keyring = true;
        } else if (auto eq = o.find('='); o.rfind("--", 0) == 0 && eq != std::string::npos && info &&
                                          std::ranges::count(info->valueOptions, o.substr(2, eq - 2))) {
            if (!line.values.emplace(o.substr(2, eq - 2), o.substr(eq + 1)).second)
                throw UsageError("option given twice: " + o.substr(0, eq));
        } else if (info && std::ranges::count(info->valueOptions, o.substr(2)) && o.rfind("--", 0) == 0) {
            throw UsageError("option needs a value: " + o);
        } else {
            throw UsageError("unknown option" + (info ? " for " + line.command : std::string()) + ": " + o);
        }
    }
    return line;
}

} // namespace cli
