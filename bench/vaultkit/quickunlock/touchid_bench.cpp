// Unlocking one vault with its biometric key, minus the prompt, against
// unlocking it with the password, side by side in one run. The biometric
// unlock takes the product's whole path: the provider asks the key service
// (hushcoffer-keyd, started by the benchmark on a private bus) for the check,
// which a mocked polkit authority passes at once, then for one key agreement
// per sealed copy (the service loads the key into the TPM and runs it in a
// policy session); the sealed copy is opened and the image attached. Prints
// "touchid_unlock: RATIO" (biometric time over password time; 1.10 would be
// 10% slower). Locking between rounds is not timed.
//
// The TPM is a software TPM (swtpm) started by the benchmark unless
// HC_BENCH_TPM names another transport ("device:/dev/tpmrm0" for the
// computer's own). The service runs as the benchmark's user with its secret
// in the benchmark's temporary folder. Run it as an ordinary user (FUSE
// refuses nothing to root):
//   scripts/run-as-user build/<dir>/bench/touchid_bench
// The image uses scrypt cost 10 unless HC_BENCH_SCRYPTN says otherwise (0:
// gocryptfs's default).
#include "support/ChildProcess.h"
#include "support/PolkitAuthorityMock.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"
#include "vaultkit/quickunlock/TpmPolkitQuickUnlock.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"

#include "SideBySide.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vaultkit;

const std::string kPassword = "correct horse battery staple 42";

struct Fixture {
    fs::path dir;
    std::unique_ptr<vaulttest::SoftwareTpm> softwareTpm;
    std::unique_ptr<vaulttest::PolkitAuthorityMock> bus;
    std::unique_ptr<vaulttest::ChildProcess> service;
    std::shared_ptr<Vault> vault;

    Fixture() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/hc-bench.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        dir = fs::canonical(buf.data());

        std::string transport;
        const char* given = std::getenv("HC_BENCH_TPM");
        if (given && *given) {
            transport = given;
        } else {
            softwareTpm = std::make_unique<vaulttest::SoftwareTpm>();
            transport = softwareTpm->transport();
        }
        // A private bus with an authority that says yes at once, and the key
        // service on it.
        bus = std::make_unique<vaulttest::PolkitAuthorityMock>(
            std::vector<std::string>{KeyServiceProtocol::actionId});
        service = std::make_unique<vaulttest::ChildProcess>(std::vector<std::string>{
            HC_KEYD_PROGRAM, "--bus", bus->address(), "--tpm", transport, "--state-dir",
            (dir / "keyd").string(), "--idle-exit", "0"});
        if (!vaulttest::waitUntil(
                [&] {
                    return Exec::runSync("/usr/bin/dbus-send",
                                         {"--bus=" + bus->address(), "--print-reply", "--dest=org.freedesktop.DBus",
                                          "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                                          std::string("string:") + KeyServiceProtocol::busName},
                                         std::nullopt, 5)
                               .stdoutText()
                               .find("true") != std::string::npos;
                },
                20))
            throw std::runtime_error("the key service did not start");
        TpmPolkitQuickUnlock::Options providerOptions;
        providerOptions.busAddress = bus->address();
        QuickUnlockKey::setProvider(std::make_shared<TpmPolkitQuickUnlock>(providerOptions));

        GocryptfsDiskImage::Options options;
        const char* n = std::getenv("HC_BENCH_SCRYPTN");
        options.scryptN = n && *n ? std::atoi(n) : 10;
        auto driver = std::make_shared<GocryptfsDiskImage>(options);
        fs::create_directory(dir / "home");
        vault = Vault::create(dir / "home", "Bench", kPassword, Mnemonic::generate(), {}, driver);
        vault->enableTouchID(kPassword);
        vault->lock(false);
        // One untimed round of each: the first mount pays for cold caches.
        vault->unlock(kPassword);
        vault->lock(false);
        vault->unlockWithTouchID("bench");
        vault->lock(false);
    }
    ~Fixture() {
        try {
            if (vault && vault->isUnlocked()) vault->lock(true);
        } catch (...) {
        }
        QuickUnlockKey::setProvider(nullptr);
        service.reset();
        bus.reset();
        softwareTpm.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Unlock_Password(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        f.vault->unlock(kPassword);
        state.PauseTiming();
        f.vault->lock(false);
        state.ResumeTiming();
    }
}

void BM_Unlock_Biometric(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        f.vault->unlockWithTouchID("bench");
        state.PauseTiming();
        f.vault->lock(false);
        state.ResumeTiming();
    }
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() == 0)
        std::fprintf(stderr, "note: running as root; run as an ordinary user for real numbers\n");
    // The TPM stack logs on standard error; nothing is refused here.
    ::setenv("TSS2_LOG", "all+none", 0);
    return sidebyside::run(argc, argv, "touchid_unlock",
                           {"password", "BM_Unlock_Password", BM_Unlock_Password},
                           {"biometric", "BM_Unlock_Biometric", BM_Unlock_Biometric});
}
