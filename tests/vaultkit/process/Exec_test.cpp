#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

using vaultkit::Bytes;
using vaultkit::ExecResult;
namespace Exec = vaultkit::Exec;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kShell = "/bin/sh";
const std::string kFffd = "\xEF\xBF\xBD";

// Runs a shell script as the child tool (the runner itself never uses a shell).
ExecResult sh(const std::string& script, std::optional<Bytes> input = std::nullopt, double timeout = 30,
              std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-c", script, "sh"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Exec::run(kShell, args, std::move(input), timeout).get();
}

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}
Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

} // namespace

TEST(Exec, LaunchFailuresAreFoldedIntoTheResult) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("hc-exec-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string notExecutable = (dir / "plain-file").string();
    std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
    std::filesystem::permissions(notExecutable,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    struct Row {
        std::string tool;
        std::string expectedText;
    };
    const std::vector<Row> rows = {
        {"/nonexistent/hc-no-such-tool", "No such file or directory"},
        {notExecutable, "Permission denied"},
        {dir.string(), "Permission denied"}, // a directory
        {"sh", "not absolute"},              // relative paths are refused, never searched
        {"", "not absolute"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tool);
        ExecResult viaRun;
        EXPECT_NO_THROW(viaRun = Exec::run(row.tool, {"-c", "echo hi"}, bytes("secret\n"), 5).get());
        const ExecResult viaSync = Exec::runSync(row.tool, {}, std::nullopt, 5);
        for (const ExecResult& r : {viaRun, viaSync}) {
            EXPECT_EQ(r.status, -1);
            EXPECT_TRUE(r.stdoutBytes.empty());
            EXPECT_NE(r.stderrText.find(row.expectedText), std::string::npos) << r.stderrText;
            EXPECT_NE(r.stderrText.find(row.tool), std::string::npos) << r.stderrText;
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(Exec, StatusIsExitCodeOr128PlusSignal) {
    struct Row {
        std::string script;
        int status;
    };
    const std::vector<Row> rows = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -KILL $$", 128 + 9},
        {"kill -TERM $$", 128 + 15},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        EXPECT_EQ(sh(row.script).status, row.status);
    }
}

TEST(Exec, ArgumentsPassVerbatimAndEnvironmentIsInherited) {
    ASSERT_EQ(setenv("HC_EXEC_TEST_VAR", "from parent", 1), 0);
    const ExecResult r = sh("for a; do printf '[%s]' \"$a\"; done; printf '{%s}' \"$HC_EXEC_TEST_VAR\"",
                            std::nullopt, 30, {"a b", "$HOME", "*", "", "\"q'", "ü\n"});
    unsetenv("HC_EXEC_TEST_VAR");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text(r.stdoutBytes), "[a b][$HOME][*][][\"q'][ü\n]{from parent}");
}

TEST(Exec, StandardInput) {
    // Absent input is /dev/null: the child reads end-of-file at once rather than
    // waiting for the time limit.
    auto t0 = Clock::now();
    ExecResult r = sh("cat; echo done; readlink /proc/self/fd/0", std::nullopt, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text(r.stdoutBytes), "done\n/dev/null\n");
    EXPECT_LT(secondsSince(t0), 10);

    // Present but empty input: end-of-file as well.
    r = sh("cat; echo done", Bytes{}, 20);
    EXPECT_EQ(text(r.stdoutBytes), "done\n");

    // Every byte value, including NUL and non-ASCII, arrives exactly.
    Bytes all;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b)
            all.push_back(static_cast<std::uint8_t>(b));
    const std::string pw = "pässwörd \xF0\x9F\x94\x91\n";
    all.insert(all.end(), pw.begin(), pw.end());
    r = sh("cat", all);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdoutBytes, all);

    // A child that exits without reading a large input: the write fails with
    // EPIPE, which must neither kill the process nor hang the call.
    r = sh("echo bye; exit 4", Bytes(4 << 20, 'x'));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(text(r.stdoutBytes), "bye\n");
}

TEST(Exec, MoreThanPipeCapacityOnAllStreamsAtOnce) {
    // Both output streams far beyond a pipe's 64 KiB, written at the same time.
    ExecResult r =
        sh("head -c 3000000 /dev/zero | tr '\\0' e >&2 & head -c 3000000 /dev/zero | tr '\\0' o; wait");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdoutBytes, Bytes(3000000, 'o'));
    EXPECT_EQ(r.stderrText, std::string(3000000, 'e'));

    // A child that writes much on stderr before it reads a large input, then
    // echoes the input: writing and draining must go on together.
    Bytes input(3 << 20);
    std::mt19937 rng(7);
    std::generate(input.begin(), input.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    r = sh("head -c 1000000 /dev/zero | tr '\\0' e >&2; cat; head -c 500000 /dev/zero | tr '\\0' f >&2",
           input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdoutBytes, input);
    EXPECT_EQ(r.stderrText, std::string(1000000, 'e') + std::string(500000, 'f'));
}

TEST(Exec, TimeLimitSendsOneSigtermAndWaitsForTheRealExit) {
    // A sleeping child is ended by the SIGTERM at the limit.
    auto t0 = Clock::now();
    ExecResult r = sh("echo started; exec sleep 30", std::nullopt, 0.3);
    EXPECT_EQ(r.status, 128 + 15);
    EXPECT_EQ(text(r.stdoutBytes), "started\n");
    EXPECT_LT(secondsSince(t0), 10);

    // A child that traps SIGTERM gets it exactly once and is waited for until
    // it exits on its own, with its own status.
    t0 = Clock::now();
    r = sh(
        "trap 'echo term' TERM; i=0; while [ $i -lt 30 ]; do sleep 0.05; i=$((i+1)); done; echo end; exit 7",
        std::nullopt, 0.3);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(text(r.stdoutBytes), "term\nend\n");
    EXPECT_GE(secondsSince(t0), 1.2);

    // A child that finished but left a descendant holding the output pipes does
    // not keep the call waiting past the limit.
    t0 = Clock::now();
    r = sh("echo parent; sleep 5 & exit 2", std::nullopt, 0.5);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(text(r.stdoutBytes), "parent\n");
    EXPECT_LT(secondsSince(t0), 4);
}

TEST(Exec, ChildStartsWithDefaultSignalHandlingWhateverTheCallerBlocked) {
    // A caller thread that blocks SIGTERM must not pass that on: the child
    // would then sleep through the time limit.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
    const ExecResult r = Exec::runSync(kShell, {"-c", "exec sleep 3"}, std::nullopt, 0.3);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(r.status, 128 + 15);
}

TEST(Exec, InvalidUtf8IsRepairedOnStderrAndInStdoutText) {
    const ExecResult r = sh("printf 'a\\377b\\303' >&2; printf 'x\\300\\257y\\342\\202'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stderrText, "a" + kFffd + "b" + kFffd);
    EXPECT_EQ(r.stdoutBytes, bytes("x\xC0\xAFy\xE2\x82"));
    EXPECT_EQ(r.stdoutText(), "x" + kFffd + kFffd + "y" + kFffd);
}

TEST(Exec, RepairUtf8ReplacesEachMaximalInvalidSubsequence) {
    struct Row {
        std::string in;
        std::string out;
    };
    const std::string F = kFffd;
    const std::vector<Row> rows = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}, // é € 😀
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\x80", F},                         // lone continuation byte
        {"\xC0\x80", F + F},                 // overlong NUL: C0 is never a lead
        {"\xE0\x80\x80", F + F + F},         // overlong three-byte form
        {"\xED\xA0\x80", F + F + F},         // surrogate
        {"\xF4\x90\x80\x80", F + F + F + F}, // beyond U+10FFFF
        {"\xF5\x80", F + F},                 // invalid lead
        {"\xE2\x82", F},                     // truncated at the end: one replacement
        {"\xE2\x82"
         "A",
         F + "A"}, // truncated before ASCII: ASCII kept
        {"\xF0\x9F\x98"
         "\xF0\x9F\x98\x80",
         F + "\xF0\x9F\x98\x80"},
        {"\xFF\xFE", F + F},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.in));
        EXPECT_EQ(Exec::repairUtf8(row.in), row.out);
    }
}

TEST(Exec, ChildGetsOnlyDescriptorsZeroToTwo) {
    // Descriptors of ours that are not close-on-exec must not reach the child either.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    int leakyPipe[2];
    ASSERT_EQ(::pipe(leakyPipe), 0);

    // `ls -l` of the child's own fd directory; the only extra entry allowed is
    // the directory ls itself has open to list it.
    const ExecResult r = Exec::runSync("/bin/ls", {"-l", "/proc/self/fd/"}, bytes("in"), 10);
    ::close(leaky);
    ::close(leakyPipe[0]);
    ::close(leakyPipe[1]);
    ASSERT_EQ(r.status, 0) << r.stderrText;

    std::istringstream lines(text(r.stdoutBytes));
    std::string line;
    std::vector<int> seen;
    while (std::getline(lines, line)) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        const auto nameStart = line.rfind(' ', arrow - 1) + 1;
        const int fd = std::stoi(line.substr(nameStart, arrow - nameStart));
        const std::string target = line.substr(arrow + 4);
        seen.push_back(fd);
        if (fd > 2) {
            EXPECT_EQ(target.rfind("/proc/", 0), 0u) << "leaked: " << line;
        } else {
            EXPECT_EQ(target.rfind("pipe:", 0), 0u) << line;
        }
    }
    std::sort(seen.begin(), seen.end());
    ASSERT_GE(seen.size(), 3u) << text(r.stdoutBytes);
    EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 3), (std::vector<int>{0, 1, 2}));
    EXPECT_LE(seen.size(), 4u) << text(r.stdoutBytes);
}

TEST(Exec, RunFromSeveralThreadsAtOnce) {
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    std::vector<ExecResult> results(kThreads);
    std::vector<Bytes> inputs(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        inputs[i] = Bytes(200000 + i * 1000, static_cast<std::uint8_t>('a' + i));
        threads.emplace_back([&, i] {
            results[i] = Exec::run(kShell, {"-c", "cat; echo \"$1\" >&2; exit $1", "sh", std::to_string(i)},
                                   inputs[i], 30)
                             .get();
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].status, i);
        EXPECT_EQ(results[i].stdoutBytes, inputs[i]);
        EXPECT_EQ(results[i].stderrText, std::to_string(i) + "\n");
    }
}

TEST(Exec, DroppingTheFutureDoesNotBlock) {
    const auto t0 = Clock::now();
    { auto ignored = Exec::run(kShell, {"-c", "exec sleep 1"}, std::nullopt, 30); }
    EXPECT_LT(secondsSince(t0), 0.8);
}
