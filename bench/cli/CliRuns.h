#pragma once

// What the command-line benchmarks share: finding hushcoffer-cli, running
// tools and timing them, and the loop that times two sides in turn.
//
// alternate() runs the baseline and our side `rounds` times each, the one
// that goes first turning every round, so that a drift of the machine (a
// build starting, a cache warming) hits both alike. Each side's function
// does its own untimed setup and returns the seconds of its timed part.

#include "vaultkit/process/Exec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clibench {

inline const std::string kPassword = "benchmark password";

// `s` and a line break: a password as the tools read it on standard input.
inline vaultkit::Bytes line(const std::string& s) {
    vaultkit::Bytes b(s.begin(), s.end());
    b.push_back('\n');
    return b;
}

// Throws naming `what` unless the run ended with status 0.
inline void must(const vaultkit::ExecResult& r, const std::string& what) {
    if (r.status != 0)
        throw std::runtime_error(what + " failed (" + std::to_string(r.status) + "): " + r.stderrText);
}

inline double seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Seconds from the spawn of `argv` to its end, its input and output
// /dev/null (nothing of Exec's pipes and threads on either side); the exit
// status must be 0.
inline double timedRun(const std::vector<std::string>& argv) {
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
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const auto& a : argv)
            command += (command.empty() ? "" : " ") + a;
        throw std::runtime_error(command + " failed");
    }
    return elapsed;
}

// The program given, else hushcoffer-cli beside this benchmark or in the
// build tree's src/cli.
inline std::string findCli(const char* argv0, const std::string& given) {
    namespace fs = std::filesystem;
    if (!given.empty()) return given;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) self = fs::absolute(argv0);
    for (const fs::path& p : {self.parent_path() / "hushcoffer-cli",
                              self.parent_path() / ".." / "src" / "cli" / "hushcoffer-cli"})
        if (fs::exists(p)) return fs::canonical(p).string();
    throw std::runtime_error("hushcoffer-cli not found; pass --cli PATH");
}

// The options both cli_bench and cli_start_bench take: --rounds N and
// --cli PATH. False (with the usage on standard error) for anything else.
inline bool readRoundsAndCli(int argc, char** argv, const char* program, int& rounds, std::string& cli) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--cli" && i + 1 < argc) {
            cli = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--cli PATH]\n", program);
            return false;
        }
    }
    return true;
}

struct Timings {
    std::vector<double> baseline, ours;
};

// See the top of this file; the functions get the round's number.
inline Timings alternate(int rounds, const std::function<double(int round)>& baseline,
                         const std::function<double(int round)>& ours) {
    Timings t;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            t.baseline.push_back(baseline(round));
            t.ours.push_back(ours(round));
        } else {
            t.ours.push_back(ours(round));
            t.baseline.push_back(baseline(round));
        }
    }
    return t;
}

// "<figure>: <ours over baseline> (<ours> X ms, <baseline> Y ms, medians of N runs)"
inline void report(const char* figure, const Timings& t, const char* oursLabel, const char* baselineLabel) {
    const double a = median(t.ours), b = median(t.baseline);
    std::printf("%s: %.3f (%s %.2f ms, %s %.2f ms, medians of %zu runs)\n", figure, b > 0 ? a / b : 0, oursLabel,
                a * 1000, baselineLabel, b * 1000, t.ours.size());
    std::fflush(stdout);
}

} // namespace clibench
