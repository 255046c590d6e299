// Unlocking one vault with its biometric key, minus the prompt (loading the
// key into the TPM, the TPM's key agreement, opening the sealed copy, then
// attaching the image), against unlocking it with the password, side by side
// in one run. Prints "touchid_unlock: RATIO" (biometric time over password
// time; 1.10 would be 10% slower). Locking between rounds is not timed.
//
// The TPM is a software TPM (swtpm) started by the benchmark unless
// HC_BENCH_TPM names another transport ("device:/dev/tpmrm0" for the
// computer's own). Run it as an ordinary user (FUSE refuses nothing to root):
//   scripts/run-as-user build/<dir>/bench/touchid_bench
// The image uses scrypt cost 10 unless HC_BENCH_SCRYPTN says otherwise (0:
// gocryptfs's default).
#include "vaultkit/Mnemonic.h"
#include "vaultkit/TouchIDKey.h"
#include "vaultkit/TpmDevice.h"
#include "vaultkit/Vault.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include "SideBySide.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vaultkit;

const std::string kPassword = "correct horse battery staple 42";

// The Linux provider's key work without its prompt: the check passes at once.
class PromptlessTpmProvider final : public TouchIDProvider {
public:
    explicit PromptlessTpmProvider(std::string transport)
        : tpm_(std::move(transport)) {}
    bool isAvailable() override { return tpm_.answers(); }
    AuthOutcome authenticate(const std::string&) override {
        return AuthOutcome::passed(TouchIDContext(std::make_shared<const int>(1)));
    }
    std::optional<Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                          const TouchIDContext&) override {
        return tpm_.loadKey(handle);
    }
    CreatedKey createKey() override {
        auto key = tpm_.createKey();
        return CreatedKey{std::move(key.handle), key.publicKey};
    }

private:
    TpmDevice tpm_;
};

struct Fixture {
    fs::path dir;
    pid_t swtpm = -1;
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
            transport = startSoftwareTpm();
        }
        TouchIDKey::setProvider(std::make_shared<PromptlessTpmProvider>(transport));

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
        TouchIDKey::setProvider(nullptr);
        if (swtpm > 0) {
            ::kill(swtpm, SIGTERM);
            ::waitpid(swtpm, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string startSoftwareTpm() {
        const fs::path state = dir / "tpm", socket = dir / "tpm.sock";
        fs::create_directory(state);
        const std::vector<std::string> argv{"/usr/bin/swtpm",
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
                                            "file=" + (dir / "swtpm.log").string()};
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        swtpm = ::fork();
        if (swtpm < 0) throw std::runtime_error("fork failed");
        if (swtpm == 0) {
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(socket.string() + ".ctrl"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!fs::exists(socket.string() + ".ctrl")) throw std::runtime_error("swtpm did not start");
        return "swtpm:path=" + socket.string();
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
