// hushcoffer-cli create / unlock / lock against the raw gocryptfs and
// fusermount3 steps they perform, run side by side, printing the ratios.
//
//   build/release/bench/cli_bench [--rounds N] [--cli PATH]
//
// Mounting needs FUSE: run it as an ordinary user (scripts/run-as-user works,
// with HC_RUN_COMPANIONS naming hushcoffer-cli) or as root. Images use
// gocryptfs's default scrypt cost, as the product does.
#include "cli/CliRuns.h"

#include "vaultkit/process/Exec.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace clibench;
using vaultkit::Exec::runSync;

int main(int argc, char** argv) {
    int rounds = 5;
    std::string cliArg;
    if (!readRoundsAndCli(argc, argv, "cli_bench", rounds, cliArg)) return 2;
    try {
        const std::string cli = findCli(argv[0], cliArg);
        std::string pattern = (fs::temp_directory_path() / "hc-cli-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        const fs::path root = fs::canonical(pattern);
        ::setenv("HC_SUPPORT_DIR", (root / "support").c_str(), 1);
        const std::string gocryptfs = "/usr/bin/gocryptfs", xray = "/usr/bin/gocryptfs-xray",
                          fusermount = "/usr/bin/fusermount3";

        std::vector<double> rawCreate, cliCreate, rawUnlock, cliUnlock, rawLock, cliLock;
        for (int r = 0; r < rounds; ++r) {
            const std::string n = std::to_string(r);
            // Raw: what create does with the tools: make the image, mount,
            // unmount, check the password, mount again.
            const fs::path rawDir = root / ("raw" + n), image = rawDir / "data.gocryptfs",
                           mp = root / ("Raw" + n);
            fs::create_directories(image);
            fs::create_directory(mp);
            const std::string vault = (root / ("Vault" + n)).string();
            const auto create = alternate(
                1,
                [&](int) {
                    return seconds([&] {
                        must(runSync(gocryptfs, {"-init", "-q", "--", image.string()}, line(kPassword), 300), "init");
                        must(runSync(gocryptfs, {"-q", "--", image.string(), mp.string()}, line(kPassword), 180),
                             "mount");
                        must(runSync(fusermount, {"-u", "--", mp.string()}, std::nullopt, 120), "unmount");
                        must(runSync(xray, {"-dumpmasterkey", (image / "gocryptfs.conf").string()},
                                     line(kPassword), 180),
                             "xray");
                        must(runSync(gocryptfs, {"-q", "--", image.string(), mp.string()}, line(kPassword), 180),
                             "mount");
                    });
                },
                [&](int) {
                    return seconds([&] {
                        must(runSync(cli, {"create", "--password-stdin", root.string(), "Vault" + n},
                                     line(kPassword), 600),
                             "hushcoffer-cli create");
                    });
                });
            rawCreate.push_back(create.baseline.front());
            cliCreate.push_back(create.ours.front());
            // Each side: lock (timed for the lock figure), then unlock
            // (timed for the unlock figure), the order of the sides turning.
            const auto lock = alternate(
                2,
                [&](int) {
                    const double t = seconds([&] {
                        must(runSync(fusermount, {"-u", "--", mp.string()}, std::nullopt, 120), "unmount");
                    });
                    rawUnlock.push_back(seconds([&] {
                        must(runSync(gocryptfs, {"-q", "--", image.string(), mp.string()}, line(kPassword), 180),
                             "mount");
                    }));
                    return t;
                },
                [&](int) {
                    const double t = seconds([&] {
                        must(runSync(cli, {"lock", vault}, std::nullopt, 120), "hushcoffer-cli lock");
                    });
                    cliUnlock.push_back(seconds([&] {
                        must(runSync(cli, {"unlock", "--password-stdin", vault}, line(kPassword), 180),
                             "hushcoffer-cli unlock");
                    }));
                    return t;
                });
            rawLock.insert(rawLock.end(), lock.baseline.begin(), lock.baseline.end());
            cliLock.insert(cliLock.end(), lock.ours.begin(), lock.ours.end());
            runSync(fusermount, {"-u", "--", mp.string()}, std::nullopt, 120);
            runSync(cli, {"lock", "--force", vault}, std::nullopt, 120);
        }
        std::error_code ec;
        for (auto& e : fs::recursive_directory_iterator(root, ec))
            if (e.is_directory()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);

        std::cout << "operation   raw median (s)   hushcoffer-cli median (s)   ratio   target\n";
        auto row = [](const char* name, const std::vector<double>& raw, const std::vector<double>& mine,
                      double target) {
            const double a = median(raw), b = median(mine);
            std::printf("%-10s  %14.3f   %25.3f   %5.2f   <= %.2f%s\n", name, a, b, b / a, target,
                        b / a <= target ? "" : "  (over)");
        };
        row("create", rawCreate, cliCreate, 1.5);
        row("unlock", rawUnlock, cliUnlock, 1.1);
        row("lock", rawLock, cliLock, 1.1);
        // one line per figure, as bench/run-all collects them
        std::printf("create: %.3f\nunlock: %.3f\nlock: %.3f\n", median(cliCreate) / median(rawCreate),
                    median(cliUnlock) / median(rawUnlock), median(cliLock) / median(rawLock));
    } catch (const std::exception& e) {
        std::cerr << "cli_bench: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
