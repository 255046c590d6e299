#include "cli/CliApp.h"

#include <openssl/crypto.h>

#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace {

// Commands that do no cryptography: they read vault records and the mount
// table or run fusermount3; the one digest they take (a vault folder's name
// for its record's backup copy) needs neither OpenSSL's configuration file
// nor its table of every cipher's and digest's name. Those cost more than
// the rest of a `status` or a `lock`, so these commands start OpenSSL
// without them. Every other command (create, unlock, passwd, backup, …)
// starts it as usual, with the system's configuration.
bool needsNoCryptoConfiguration(const std::vector<std::string>& args) {
    static const std::set<std::string> commands = {"status", "lock", "forget", "mount-mode", "autolock"};
    return !args.empty() && commands.count(args.front()) > 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (needsNoCryptoConfiguration(args))
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                                OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                            nullptr);
    cli::CliApp app(std::cout, std::cerr);
    return app.run(args);
}
