// What a call of hushcoffer-cli costs before and around its work, against
// the least a script would otherwise run, side by side (one run of each in
// turn, so a drift of the machine hits both alike):
//   cli_start_help    `hushcoffer-cli --help` against `true`: the start alone
//   cli_start_status  `hushcoffer-cli status` of a few registered vaults
//                     against `cat /proc/self/mountinfo` (reading the mount
//                     table is what status adds to reading the records)
//   cli_start_lock    `hushcoffer-cli lock VAULT` against `fusermount3 -u` of
//                     a gocryptfs mount (each mount made untimed before)
// Prints "<figure>: <ours over baseline> (ours X ms, baseline Y ms)" with
// the medians of single runs.
//
//   build/<dir>/bench/cli_start_bench [--rounds N] [--cli PATH]
//
// Mounting needs FUSE: run it as an ordinary user (scripts/run-as-user, with
// HC_RUN_COMPANIONS naming hushcoffer-cli).
#include "cli/CliRuns.h"

#include "vaultkit/process/Exec.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace clibench;
using vaultkit::Exec::runSync;

int main(int argc, char** argv) {
    int rounds = 5;
    std::string cliArg;
    if (!readRoundsAndCli(argc, argv, "cli_start_bench", rounds, cliArg)) return 2;
    fs::path root;
    const std::string fusermount = "/usr/bin/fusermount3", gocryptfs = "/usr/bin/gocryptfs";
    std::vector<std::string> vaults;
    fs::path rawImage, rawMount;
    int status = 0;
    std::string cli;
    try {
        cli = findCli(argv[0], cliArg);
        std::string pattern = (fs::temp_directory_path() / "hc-cli-start-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root = fs::canonical(pattern);
        ::setenv("HC_SUPPORT_DIR", (root / "support").c_str(), 1);

        // Three registered vaults (create leaves them unlocked), and a raw
        // gocryptfs image for the unmount the lock is compared with.
        for (int v = 0; v < 3; ++v) {
            const std::string name = "Vault" + std::to_string(v);
            must(runSync(cli, {"create", "--password-stdin", root.string(), name}, line(kPassword), 600),
                 "hushcoffer-cli create");
            vaults.push_back((root / name).string());
        }
        rawImage = root / "raw.gocryptfs";
        rawMount = root / "Raw";
        fs::create_directories(rawImage);
        fs::create_directories(rawMount);
        must(runSync(gocryptfs, {"-init", "-q", "-scryptn", "10", "--", rawImage.string()}, line(kPassword), 300),
             "gocryptfs -init");

        Timings help, stat, lock;
        auto add = [](Timings& to, const Timings& more) {
            to.baseline.insert(to.baseline.end(), more.baseline.begin(), more.baseline.end());
            to.ours.insert(to.ours.end(), more.ours.begin(), more.ours.end());
        };
        for (int r = 0; r < rounds; ++r) {
            add(help, alternate(
                          40, [&](int) { return timedRun({"/bin/true"}); },
                          [&](int) { return timedRun({cli, "--help"}); }));
            add(stat, alternate(
                          40, [&](int) { return timedRun({"/bin/cat", "/proc/self/mountinfo"}); },
                          [&](int) { return timedRun({cli, "status"}); }));
            // The first vault is unlocked (by create or the previous round);
            // each side mounts again untimed after its timed part.
            add(lock, alternate(
                          2,
                          [&](int) {
                              must(runSync(gocryptfs, {"-q", "--", rawImage.string(), rawMount.string()},
                                           line(kPassword), 180),
                                   "gocryptfs mount");
                              return timedRun({fusermount, "-u", "--", rawMount.string()});
                          },
                          [&](int) {
                              const double t = timedRun({cli, "lock", vaults[0]});
                              must(runSync(cli, {"unlock", "--password-stdin", vaults[0]}, line(kPassword), 180),
                                   "hushcoffer-cli unlock");
                              return t;
                          }));
        }
        report("cli_start_help", help, "hushcoffer-cli", "true");
        report("cli_start_status", stat, "hushcoffer-cli", "cat /proc/self/mountinfo");
        report("cli_start_lock", lock, "hushcoffer-cli", "fusermount3 -u");
    } catch (const std::exception& e) {
        std::cerr << "cli_start_bench: " << e.what() << '\n';
        status = 1;
    }
    if (!root.empty()) {
        for (const auto& v : vaults)
            runSync(cli, {"lock", "--force", v}, std::nullopt, 120);
        runSync(fusermount, {"-u", "-z", "--", rawMount.string()}, std::nullopt, 120);
        std::error_code ec;
        for (auto& e : fs::recursive_directory_iterator(root, ec))
            if (e.is_directory()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }
    return status;
}
