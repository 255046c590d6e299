#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// The parsed arguments of one hushcoffer-cli invocation. Options may stand
// before or after the arguments; "--" ends the options.
struct CommandLine {
    class UsageError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    std::string command; // empty: no command given
    std::vector<std::string> args;
    bool help = false;
    bool passwordStdin = false;
    bool force = false;
    bool keyring = false; // unlock: the password stored in the keyring
    // Options that take a value ("--idle 5" or "--idle=5"), by name without
    // the dashes; each may be given once.
    std::map<std::string, std::string> values;

    // Throws UsageError for an unknown command or an option the command does
    // not take. The number of arguments is checked by the command.
    static CommandLine parse(const std::vector<std::string>& argv);

    // The commands in the order the general help lists them.
    static const std::vector<std::string>& commands();
    // Usage text of one command (several lines), or of the program when
    // command is empty.
    static std::string usage(const std::string& command);
};

} // namespace cli
