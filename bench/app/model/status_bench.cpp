// The cost of knowing the lock state of 200 registered vaults, against one
// read of the mount table, side by side in alternating rounds:
//   status_refresh   the model's 2-second refresh tick as the windows see it
//                    (the tick, then the lock state of every vault, as the
//                    list and the tray menu ask it, and the sleep delay's
//                    check) against MountTable::read() in this process
//   status_per_vault the same states asked vault by vault (Vault::isUnlocked,
//                    one table read each): what a tick cost before the model
//                    shared one read among all vaults; for comparison
//   status_cli       `hushcoffer-cli status` (opens every registered vault's
//                    record and prints its state) against a process reading
//                    the table once (`cat /proc/self/mountinfo`)
// Two of the vaults are unlocked, so the table holds their mounts.
//
// Run it as an ordinary user (FUSE refuses nothing to root):
//   HC_RUN_COMPANIONS=build/<dir>/src/cli/hushcoffer-cli
//     scripts/run-as-user build/<dir>/bench/status_bench [--vaults N] [--rounds N] [--cli PATH]
// (one command line; the companion is copied beside the benchmark)
#include "app/model/AppModel.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kPassword = "correct horse battery staple 42";

double timed(const std::function<void()>& f, int repeat) {
    const auto start = Clock::now();
    for (int i = 0; i < repeat; ++i)
        f();
    return std::chrono::duration<double>(Clock::now() - start).count() / repeat;
}

// Alternating rounds; the ratio of the summed times.
double ratio(const char* label, const std::function<void()>& ours, const std::function<void()>& base,
             int rounds, int repeat) {
    double a = 0, b = 0;
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            b += timed(base, repeat);
            a += timed(ours, repeat);
        } else {
            a += timed(ours, repeat);
            b += timed(base, repeat);
        }
    }
    std::fprintf(stderr, "  %s: ours %.3f ms, baseline %.3f ms\n", label, a / rounds * 1e3, b / rounds * 1e3);
    return a / b;
}

std::string findCli(const std::string& given) {
    if (!given.empty()) return given;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    for (const fs::path& p : {self.parent_path() / "hushcoffer-cli",
                              self.parent_path() / ".." / "src" / "cli" / "hushcoffer-cli"})
        if (fs::exists(p)) return fs::canonical(p).string();
    throw std::runtime_error("hushcoffer-cli not found; pass --cli PATH");
}

void run(const std::string& tool, const std::vector<std::string>& args) {
    const auto r = vaultkit::Exec::runSync(tool, args, std::nullopt, 600);
    if (r.status != 0) throw std::runtime_error(tool + " failed: " + r.stderrText);
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() == 0)
        std::fprintf(stderr, "note: running as root; run as an ordinary user for real numbers\n");
    int count = 200, rounds = 6;
    std::string cliArg;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--vaults" && i + 1 < argc)
            count = std::max(3, std::atoi(argv[++i]));
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(2, std::atoi(argv[++i]));
        else if (a == "--cli" && i + 1 < argc)
            cliArg = argv[++i];
        else {
            std::fprintf(stderr, "usage: status_bench [--vaults N] [--rounds N] [--cli PATH]\n");
            return 2;
        }
    }
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/hc-status-bench.XXXXXX";
    if (!::mkdtemp(templ.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = fs::canonical(templ);
    std::vector<std::shared_ptr<vaultkit::Vault>> unlocked;
    int status = 0;
    try {
        const std::string cli = findCli(cliArg);
        const fs::path support = dir / "support";
        fs::create_directories(support);
        ::setenv("HC_SUPPORT_DIR", support.c_str(), 1);
        vaultkit::GocryptfsDiskImage::Options options;
        options.scryptN = 10;
        auto driver = std::make_shared<vaultkit::GocryptfsDiskImage>(options);
        vaultkit::DiskImage::setPlatformDefault(driver);
        // One vault made properly, locked, then copied into a folder of its
        // own for each of the others (so each has its own mount point).
        fs::create_directories(dir / "p0");
        auto first = vaultkit::Vault::create(dir / "p0", "Vault", kPassword, vaultkit::Mnemonic::generate(),
                                             {}, driver);
        first->lock(false);
        std::vector<std::string> paths{first->dir().string()};
        for (int i = 1; i < count; ++i) {
            const fs::path parent = dir / ("p" + std::to_string(i));
            fs::create_directories(parent);
            run("/usr/bin/cp", {"-a", "--", first->dir().string(), parent.string()});
            run("/usr/bin/cp", {"-a", "--", first->mountPoint().string(), parent.string()});
            paths.push_back((parent / first->dir().filename()).string());
        }
        vaultkit::Registry::write(support / vaultkit::Registry::fileName, paths);
        for (const int i : {count / 3, 2 * count / 3}) {
            unlocked.push_back(vaultkit::Vault::open(paths[static_cast<std::size_t>(i)], driver));
            unlocked.back()->unlock(kPassword);
        }

        int qtArgc = 1;
        char* qtArgv[] = {argv[0], nullptr};
        QCoreApplication app(qtArgc, qtArgv);
        AppModel model(QString::fromStdString(support.string()));
        if (model.vaults().size() != paths.size())
            throw std::runtime_error("the model did not load every vault");
        const auto tick = [&] {
            model.bump();
            int open = 0;
            for (const auto& v : model.vaults())
                open += model.isUnlocked(v) ? 1 : 0;
            if (open != 2)
                throw std::runtime_error("the model sees " + std::to_string(open) + " vaults unlocked");
        };
        const auto perVault = [&] {
            int open = 0;
            for (const auto& v : model.vaults())
                open += v->isUnlocked() ? 1 : 0;
            if (open != 2) throw std::runtime_error("wrong count of unlocked vaults");
        };
        const auto readTable = [] {
            if (vaultkit::MountTable::read().empty()) throw std::runtime_error("empty mount table");
        };
        const double refresh = ratio("status_refresh", tick, readTable, rounds, 20);
        const double old = ratio("status_per_vault", perVault, readTable, rounds, 5);
        const double cliRatio = ratio(
            "status_cli", [&] { run(cli, {"status"}); },
            [] { run("/usr/bin/cat", {"/proc/self/mountinfo"}); }, rounds, 3);
        std::printf("status_refresh: %.3f\nstatus_per_vault: %.3f\nstatus_cli: %.3f\n", refresh, old,
                    cliRatio);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "status_bench: %s\n", e.what());
        status = 1;
    }
    for (const auto& v : unlocked) {
        try {
            if (v->isUnlocked()) v->lock(true);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "lock: %s\n", e.what());
        }
    }
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_directory(ec)) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
    return status;
}
