#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vaulttest {

// A background program started by a test (a bus, a mock service, a software
// TPM) and ended when the object goes: SIGTERM, then SIGKILL after a few
// seconds. Its standard output is readable line by line when captured,
// otherwise it goes to /dev/null; standard error is the test's own.
class ChildProcess {
public:
    // argv[0] is an absolute path; `extraEnv` ("NAME=value") is added to the
    // test's environment.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
                 bool captureStdout = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of standard output, without its newline; nothing when
    // none came within `seconds` or the output ended.
    std::optional<std::string> readLine(double seconds);
    // Ends the program and waits for it (idempotent).
    void stop();

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
};

} // namespace vaulttest
