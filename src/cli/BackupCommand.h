#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

// hushcoffer-cli backup push|list|restore|check|prune: the vault library's
// backup engine on a store (a local folder, or rclone:REMOTE:PATH). It reads
// its own arguments (each subcommand has options of its own); errors of the
// engine are thrown to CliApp::run like every command's.
// Exit status: 0 success, 1 failure, 2 usage error, 5 check found damage
// (or a restore left damaged files out).
class BackupCommand {
public:
    BackupCommand(std::ostream& out, std::ostream& err)
        : out_(out)
        , err_(err) {}

    static bool handles(const std::string& command) { return command == "backup"; }
    // args: everything after "backup".
    int run(const std::vector<std::string>& args);

    static std::string usage();

private:
    std::ostream& out_;
    std::ostream& err_;
};

} // namespace cli
