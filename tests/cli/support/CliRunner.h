#pragma once
// Runs the hushcoffer-cli under test, for the command-line mount tests.

#include "vaultkit/process/Exec.h"

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace clitest {

// The program beside this test binary (scripts/run-as-user copies it there),
// else the one in the build tree.
inline std::string cliPath() {
    std::error_code ec;
    const std::filesystem::path beside =
        std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "hushcoffer-cli";
    if (!ec && std::filesystem::exists(beside)) return beside.string();
    return HC_CLI_BUILD_PATH;
}

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// Runs `program` with `args`, `input` (if any) on its standard input.
inline CliRun runCli(const std::string& program, const std::vector<std::string>& args,
                     const std::optional<std::string>& input = std::nullopt, double timeoutSeconds = 120) {
    std::optional<vaultkit::Bytes> in;
    if (input) in = vaultkit::Bytes(input->begin(), input->end());
    auto r = vaultkit::Exec::runSync(program, args, in, timeoutSeconds);
    return CliRun{r.status, r.stdoutText(), r.stderrText};
}

} // namespace clitest
