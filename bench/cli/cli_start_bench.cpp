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
#include "vaultkit/process/Exec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using vaultkit::Bytes;
using vaultkit::Exec::runSync;

namespace {

const std::string kPassword = "benchmark password";

Bytes line(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back('\n');
    return b;
}

void must(const vaultkit::ExecResult& r, const std::string& what) {
    if (r.status != 0)
        throw std::runtime_error(what + " failed (" + std::to_string(r.status) + "): " + r.stderrText);
}

// Seconds from the spawn of `argv` to its end, its output to /dev/null; the
// exit status must be 0.
double timedRun(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) throw std::runtime_error("waitpid failed");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " " + argv[1] + " failed");
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void report(const char* figure, const std::vector<double>& ours, const std::vector<double>& baseline,
            const char* baselineLabel) {
    const double a = median(ours), b = median(baseline);
    std::printf("%s: %.3f (hushcoffer-cli %.2f ms, %s %.2f ms, medians of %zu runs)\n", figure, a / b, a * 1000,
                baselineLabel, b * 1000, ours.size());
}

std::string findCli(const char* argv0, const std::string& given) {
    if (!given.empty()) return given;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) self = fs::absolute(argv0);
    for (const fs::path& p : {self.parent_path() / "hushcoffer-cli",
                              self.parent_path() / ".." / "src" / "cli" / "hushcoffer-cli"})
        if (fs::exists(p)) return fs::canonical(p).string();
    throw std::runtime_error("hushcoffer-cli not found; pass --cli PATH");
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    std::string cliArg;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--cli" && i + 1 < argc)
            cliArg = argv[++i];
        else {
            std::cerr << "usage: cli_start_bench [--rounds N] [--cli PATH]\n";
            return 2;
        }
    }
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

        std::vector<double> help, helpBase, stat, statBase, lock, lockBase;
        for (int r = 0; r < rounds; ++r) {
            for (int k = 0; k < 40; ++k) {
                // alternate which side goes first
                if (k % 2 == 0) {
                    helpBase.push_back(timedRun({"/bin/true"}));
                    help.push_back(timedRun({cli, "--help"}));
                } else {
                    help.push_back(timedRun({cli, "--help"}));
                    helpBase.push_back(timedRun({"/bin/true"}));
                }
            }
            for (int k = 0; k < 40; ++k) {
                if (k % 2 == 0) {
                    statBase.push_back(timedRun({"/bin/cat", "/proc/self/mountinfo"}));
                    stat.push_back(timedRun({cli, "status"}));
                } else {
                    stat.push_back(timedRun({cli, "status"}));
                    statBase.push_back(timedRun({"/bin/cat", "/proc/self/mountinfo"}));
                }
            }
            // The first vault is unlocked (by create or the previous round).
            for (int k = 0; k < 2; ++k) {
                must(runSync(gocryptfs, {"-q", "--", rawImage.string(), rawMount.string()}, line(kPassword), 180),
                     "gocryptfs mount");
                lockBase.push_back(timedRun({fusermount, "-u", "--", rawMount.string()}));
                lock.push_back(timedRun({cli, "lock", vaults[0]}));
                must(runSync(cli, {"unlock", "--password-stdin", vaults[0]}, line(kPassword), 180),
                     "hushcoffer-cli unlock");
            }
        }
        report("cli_start_help", help, helpBase, "true");
        report("cli_start_status", stat, statBase, "cat /proc/self/mountinfo");
        report("cli_start_lock", lock, lockBase, "fusermount3 -u");
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
