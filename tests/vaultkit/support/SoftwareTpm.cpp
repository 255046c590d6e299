#include "support/SoftwareTpm.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace vaulttest {

bool SoftwareTpm::installed() {
    return ::access(program, X_OK) == 0;
}

SoftwareTpm::SoftwareTpm() {
    // The TPM stack logs every refused command on standard error; tests
    // refuse many on purpose. TSS2_LOG=all+debug brings it back.
    ::setenv("TSS2_LOG", "all+none", 0);
    std::filesystem::create_directory(dir_ / "state");
    start();
}

void SoftwareTpm::restart() {
    stop();
    start();
}

void SoftwareTpm::start() {
    const auto state = dir_ / "state";
    const auto socket = dir_ / "tpm.sock";
    const std::vector<std::string> argv{program,
                                        "socket",
                                        "--tpm2",
                                        "--tpmstate",
                                        "dir=" + state.string(),
                                        "--server",
                                        "type=unixio,path=" + socket.string(),
                                        "--ctrl",
                                        "type=unixio,path=" + socket.string() + ".ctrl",
                                        "--flags",
                                        "not-need-init,startup-clear",
                                        "--log",
                                        "file=" + (dir_ / "swtpm.log").string()};
    std::filesystem::remove(socket);
    std::filesystem::remove(socket.string() + ".ctrl");
    process_ = std::make_unique<ChildProcess>(argv);
    if (!waitUntil(
            [&] {
                return std::filesystem::exists(socket) && std::filesystem::exists(socket.string() + ".ctrl");
            },
            10))
        throw std::runtime_error("swtpm did not start");
}

SoftwareTpm::~SoftwareTpm() {
    stop();
}

std::string SoftwareTpm::transport() const {
    return "swtpm:path=" + (dir_ / "tpm.sock").string();
}

void SoftwareTpm::openToEveryone() {
    namespace fs = std::filesystem;
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::permissions(dir_ / "tpm.sock", fs::perms(0666));
    fs::permissions(dir_ / "tpm.sock.ctrl", fs::perms(0666));
}

void SoftwareTpm::stop() {
    if (process_) process_->stop();
}

} // namespace vaulttest
