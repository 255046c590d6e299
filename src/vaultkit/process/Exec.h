#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace vaultkit {

using Bytes = std::vector<std::uint8_t>;

// Outcome of one tool run. (The streams are named stdoutBytes/stderrText:
// stdout and stderr are macros of the C library.)
struct ExecResult {
    // Termination status: the exit code for a normal exit, 128 + signal number
    // for a child ended by a signal, -1 when the tool could not be started.
    std::int32_t status = -1;
    // Everything the child wrote on standard output, byte for byte.
    Bytes stdoutBytes;
    // Standard error decoded as UTF-8 with repair; for a launch failure the
    // description of the launch error.
    std::string stderrText;

    // stdoutBytes decoded as UTF-8, invalid sequences replaced by U+FFFD.
    std::string stdoutText() const;
};

// The vault library's one way of running a system tool: an absolute tool path
// and an argument list (no shell), optional bytes on standard input (absent:
// /dev/null), both output pipes drained concurrently, one SIGTERM at the time
// limit. Never throws.
namespace Exec {

ExecResult runSync(const std::string& tool, const std::vector<std::string>& args,
                   const std::optional<Bytes>& input, double timeoutSeconds);

// Runs runSync on a worker thread; the future never holds an exception.
std::future<ExecResult> run(std::string tool, std::vector<std::string> args, std::optional<Bytes> input,
                            double timeoutSeconds);

// Repairs invalid UTF-8 (each invalid sequence becomes U+FFFD).
std::string repairUtf8(const std::uint8_t* data, std::size_t size);
inline std::string repairUtf8(const std::string& s) {
    return repairUtf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

} // namespace Exec

} // namespace vaultkit
