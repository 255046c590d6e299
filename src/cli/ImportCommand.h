#pragma once

#include "cli/CommandLine.h"

#include <iosfwd>
#include <string>

namespace cli {

// hushcoffer-cli import VAULT PATH...: copies each PATH into the unlocked
// vault and checks the copy entry by entry. One line per item on standard
// output, tab-separated:
//   ok      SOURCE  DESTINATION  N entries, B bytes
//   failed  SOURCE  DESTINATION  PROBLEM; PROBLEM; ...
// Exit status 1 when any item failed; a locked vault is an error before
// anything is copied (thrown to CliApp::run like every command's errors).
class ImportCommand {
public:
    ImportCommand(std::ostream& out, std::ostream& err)
        : out_(out)
        , err_(err) {}

    static bool handles(const std::string& command) { return command == "import"; }
    int run(const CommandLine& line);

    // The line printed for one result's problems: joined by "; ", each with
    // its line breaks turned into "; " too, so one item stays one line.
    static std::string joinProblems(const std::vector<std::string>& problems);

private:
    std::ostream& out_;
    std::ostream& err_;
};

} // namespace cli
