// hushcoffer-keyd: the quick-unlock key service on the system bus.
//
// Started by the system bus (D-Bus activation, through systemd where it runs)
// with no arguments: the system bus socket, the kernel's TPM resource manager
// and /var/lib/hushcoffer-keyd. The options exist for the tests, which run it
// on a private bus with a software TPM; they come only from the command line
// (never from the environment), which for the installed service is fixed by
// root-owned files, and the name it serves under is one only root may take
// on the system bus.
#include "keyd/KeyService.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

namespace {

void usage(FILE* to) {
    std::fputs(
        "usage: hushcoffer-keyd [--bus ADDRESS] [--tpm TRANSPORT] [--state-dir DIR] [--idle-exit SECONDS]\n"
        "  --bus        the bus to serve on (default: the system bus socket)\n"
        "  --tpm        device:PATH or swtpm:CONF (default: device:/dev/tpmrm0)\n"
        "  --state-dir  where the service's secret is kept (default: /var/lib/hushcoffer-keyd)\n"
        "  --idle-exit  end after this many seconds without callers, 0 never (default: 30)\n",
        to);
}

} // namespace

int main(int argc, char** argv) {
    vaultkit::KeyService::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            usage(stderr);
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--bus") {
            options.busAddress = value;
        } else if (arg == "--tpm") {
            options.tpmTransport = value;
        } else if (arg == "--state-dir") {
            options.stateDir = value;
        } else if (arg == "--idle-exit") {
            char* end = nullptr;
            const long seconds = std::strtol(value.c_str(), &end, 10);
            if (!end || *end || seconds < 0 || seconds > 86400) {
                usage(stderr);
                return 2;
            }
            options.idleExit = std::chrono::seconds(seconds);
        } else {
            usage(stderr);
            return 2;
        }
    }
    // Freed memory is overwritten at once: the TPM stack and the bus library
    // keep copies of key values, shared secrets and tokens in buffers of
    // their own, which they free without wiping.
    ::mallopt(M_PERTURB, 0x5a);
    // The TPM stack's own diagnostics stay off unless asked for.
    ::setenv("TSS2_LOG", "all+none", 0);
    return vaultkit::KeyService(options).run();
}
