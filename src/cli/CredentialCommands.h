#pragma once

#include "cli/CommandLine.h"

#include <iosfwd>
#include <string>

namespace cli {

// The commands of hushcoffer-cli that deal with a vault's credentials and
// settings: passwd, recover, new-phrase, autolock. Errors are thrown to
// CliApp::run, which reports them like those of every other command.
class CredentialCommands {
public:
    CredentialCommands(std::ostream& out, std::ostream& err)
        : out_(out)
        , err_(err) {}

    static bool handles(const std::string& command);
    int run(const CommandLine& line);

private:
    int passwd(const CommandLine& line);
    int recover(const CommandLine& line);
    int newPhrase(const CommandLine& line);
    int autolock(const CommandLine& line);
    int usageError(const std::string& command, const std::string& message);

    std::ostream& out_;
    std::ostream& err_;
};

} // namespace cli
