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
};

const CommandInfo kCommands[] = {
    {"create", "create [--password-stdin] PARENT NAME",
     "Creates the vault NAME in the folder PARENT: the visible folder PARENT/NAME and the hidden\n"
     "vault directory PARENT/.NAME.hushcoffer. Asks for the password twice; prints the new\n"
     "twelve-word recovery phrase on standard output. The new vault is unlocked and registered.",
     true, false},
    {"unlock", "unlock [--password-stdin] VAULT",
     "Unlocks VAULT: mounts its encrypted volume on its visible folder.", true, false},
    {"lock", "lock [--force] VAULT",
     "Locks VAULT. A vault in use is not locked (exit status 3, the programs using it are named)\n"
     "unless --force is given: then it is locked even while files are open.",
     false, true},
    {"check", "check [--password-stdin] VAULT", "Checks that a password is the password of VAULT.", true,
     false},
    {"status", "status [VAULT...]",
     "One line per vault: name, locked or unlocked, visible folder (separated by tabs).\n"
     "Without arguments: the registered vaults.",
     false, false},
    {"add", "add VAULT", "Adds an existing vault to the list of registered vaults.", false, false},
    {"forget", "forget VAULT",
     "Removes VAULT from the list of registered vaults. Nothing on disk is touched.", false, false},
};

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
            text += "The password is asked on the terminal without echo; with --password-stdin it is read\n"
                    "from standard input, one line.\n";
        return text;
    }
    std::string text = "usage: hushcoffer-cli COMMAND [OPTIONS] [ARGUMENTS]\n\nCommands:\n";
    for (const auto& c : kCommands)
        text += std::string("  ") + c.synopsis + "\n";
    text += "\nhushcoffer-cli COMMAND --help describes one command.\n"
            "Exit status: 0 success, 1 failure, 2 usage error, 3 vault in use.\n"
            "Registered vaults are kept in vaults.json in $HC_SUPPORT_DIR, else in the application's data "
            "folder.\n";
    return text;
}

CommandLine CommandLine::parse(const std::vector<std::string>& argv) {
    CommandLine line;
    bool optionsEnded = false;
    std::vector<std::string> options;
    for (const auto& a : argv) {
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            options.push_back(a);
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
        } else {
            throw UsageError("unknown option" + (info ? " for " + line.command : std::string()) + ": " + o);
        }
    }
    return line;
}

} // namespace cli
