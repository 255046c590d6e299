// hushcoffer-cli unlock of vaults holding many files against the raw
// gocryptfs mount with the options the driver gives it, side by side
// (alternating rounds); then, with the largest vault unlocked, the conflict
// watcher the unlock starts: its memory and CPU while nothing changes, and
// how long a sync client's conflict copy takes to be shown.
//
//   build/release/bench/unlock_bench [--rounds N] [--files N,N,...] [--idle-seconds S] [--cli PATH]
//
// Prints, as bench/run-all collects them:
//   unlock_<files>: <ours over raw>        (median of the rounds)
//   watcher_first_pass_full_s: <seconds from the first unlock until the
//                               watcher is idle: it reads every folder>
//   watcher_first_pass_s: <the same after a lock: it reads what changed>
//   idle_watcher_cpu_percent: <CPU of the watcher over the idle time>
//   idle_watcher_rss_kb_start / _end: <its resident memory then>
//   conflict_shown_ms: <median time from a copy's arrival until it is shown>
//   conflict_shown_max_ms: <the longest of them>
// Mounting needs FUSE: run it as an ordinary user (scripts/run-as-user, with
// HC_RUN_COMPANIONS naming hushcoffer-cli). Filling the vaults goes through
// the mount and takes a while for 100,000 files.
#include "cli/CliRuns.h"

#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/diskimage/GocryptfsControlSocket.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/process/Exec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace clibench;
using vaultkit::Exec::runSync;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int filesPerFolder = 100;
constexpr int foldersPerTop = 100;

// The folder of file `i`: "t<top>/f<folder>", 100 files a folder.
std::string folderOf(int i) {
    const int folder = i / filesPerFolder;
    return "t" + std::to_string(folder / foldersPerTop) + "/f" + std::to_string(folder % foldersPerTop);
}

void fill(const fs::path& mp, int files) {
    for (int i = 0; i < files; ++i) {
        const fs::path dir = mp / folderOf(i);
        if (i % filesPerFolder == 0) fs::create_directories(dir);
        const fs::path file = dir / ("file" + std::to_string(i % filesPerFolder) + ".txt");
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, "x\n", 2) != 2 || ::close(fd) != 0)
            throw std::runtime_error("cannot write " + file.string());
    }
}

// CPU time (user + system, seconds) and resident memory (kB) of a process.
struct Usage {
    double cpu = 0;
    long rssKb = 0;
    bool alive = false;
};

Usage usageOf(pid_t pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (paren == std::string::npos) return u;
    std::istringstream fields(text.substr(paren + 2));
    std::vector<std::string> f;
    for (std::string s; fields >> s;)
        f.push_back(s);
    // after the name: state(0) ... utime(11) stime(12)
    if (f.size() < 13) return u;
    u.cpu = (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(status, l);)
        if (l.rfind("VmRSS:", 0) == 0) u.rssKb = std::atol(l.c_str() + 6);
    u.alive = true;
    return u;
}

pid_t watcherPid(const fs::path& image) {
    const fs::path claim =
        vaultkit::GocryptfsConflictWatcher::claimFileFor(vaultkit::GocryptfsDiskImage().controlSocket(image));
    for (int tries = 0; tries < 1000; ++tries) {
        std::ifstream in(claim);
        long pid = 0;
        if (in >> pid && pid > 1) return static_cast<pid_t>(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("no conflict watcher claimed " + claim.string());
}

// Waits until the watcher's first pass is over: the process then uses less
// than a tenth of a CPU for a fifth of a second. Seconds from `since` to
// the start of that quiet time.
double waitFirstPass(pid_t pid, Clock::time_point since) {
    Usage last = usageOf(pid);
    auto lastAt = Clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const Usage now = usageOf(pid);
        if (!now.alive) throw std::runtime_error("the conflict watcher ended");
        if (now.cpu - last.cpu < 0.02) return std::chrono::duration<double>(lastAt - since).count();
        last = now;
        lastAt = Clock::now();
    }
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    int idleSeconds = 60;
    std::vector<int> sizes = {5000, 100000};
    std::string cliArg;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--idle-seconds" && i + 1 < argc) {
            idleSeconds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--files" && i + 1 < argc) {
            sizes.clear();
            std::istringstream list(argv[++i]);
            for (std::string n; std::getline(list, n, ',');)
                if (std::atoi(n.c_str()) > 0) sizes.push_back(std::atoi(n.c_str()));
        } else if (a == "--cli" && i + 1 < argc) {
            cliArg = argv[++i];
        } else {
            std::cerr << "usage: unlock_bench [--rounds N] [--files N,N,...] [--idle-seconds S] [--cli PATH]\n";
            return 2;
        }
    }
    if (sizes.empty()) return 2;
    fs::path root;
    try {
        const std::string cli = findCli(argv[0], cliArg);
        std::string pattern = (fs::temp_directory_path() / "hc-unlock-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root = fs::canonical(pattern);
        ::setenv("HC_SUPPORT_DIR", (root / "support").c_str(), 1);
        const std::string gocryptfs = "/usr/bin/gocryptfs", fusermount = "/usr/bin/fusermount3";

        for (std::size_t s = 0; s < sizes.size(); ++s) {
            const int files = sizes[s];
            const std::string name = "Vault" + std::to_string(files);
            const fs::path vault = root / name;
            const fs::path image = root / ("." + name + ".hushcoffer") / "data.gocryptfs";
            const fs::path rawMp = root / ("Raw" + std::to_string(files));
            fs::create_directory(rawMp);
            must(runSync(cli, {"create", "--password-stdin", root.string(), name}, line(kPassword), 600),
                 "hushcoffer-cli create");
            std::fprintf(stderr, "filling %s with %d files...\n", vault.c_str(), files);
            const double fillTime = seconds([&] { fill(vault, files); });
            std::fprintf(stderr, "filled in %.1f s\n", fillTime);
            must(runSync(cli, {"lock", vault.string()}, std::nullopt, 120), "hushcoffer-cli lock");
            if (s + 1 == sizes.size()) {
                // The first unlock on this computer: the watcher reads every
                // folder once, then keeps what it found for the next unlocks.
                const auto at = Clock::now();
                must(runSync(cli, {"unlock", "--password-stdin", vault.string()}, line(kPassword), 180),
                     "hushcoffer-cli unlock");
                std::printf("watcher_first_pass_full_s: %.1f (the first unlock on this computer, %d files)\n",
                            waitFirstPass(watcherPid(image), at), files);
                must(runSync(cli, {"lock", vault.string()}, std::nullopt, 120), "hushcoffer-cli lock");
            }

            // The raw mount: the driver's options for a vault in a folder no
            // sync client shares (-kernel_cache), a control socket of its own.
            const std::vector<std::string> rawOptions = {"-q", "-nonempty", "-kernel_cache"};
            const auto rawArgs = [&](int r) {
                const std::string sock = (root / ("raw-" + std::to_string(files) + "-" + std::to_string(r) +
                                                  ".sock"))
                                             .string();
                std::vector<std::string> args = rawOptions;
                for (const auto& a : {std::string("-ctlsock"), sock, std::string("-fsname"), image.string(),
                                      std::string("--"), image.string(), rawMp.string()})
                    args.push_back(a);
                return args;
            };
            const auto timings = alternate(
                rounds,
                [&](int r) {
                    const auto args = rawArgs(r);
                    const double t =
                        seconds([&] { must(runSync(gocryptfs, args, line(kPassword), 180), "mount"); });
                    must(runSync(fusermount, {"-u", "--", rawMp.string()}, std::nullopt, 120), "unmount");
                    return t;
                },
                [&](int) {
                    const double t = seconds([&] {
                        must(runSync(cli, {"unlock", "--password-stdin", vault.string()}, line(kPassword), 180),
                             "hushcoffer-cli unlock");
                    });
                    must(runSync(cli, {"lock", vault.string()}, std::nullopt, 120), "hushcoffer-cli lock");
                    return t;
                });
            const auto& raw = timings.baseline;
            const auto& ours = timings.ours;
            std::fprintf(stderr, "unlock of %d files: raw median %.1f ms, hushcoffer-cli median %.1f ms\n", files,
                         median(raw) * 1000, median(ours) * 1000);
            std::printf("unlock_%d: %.3f (ours %.1f ms, raw %.1f ms)\n", files, median(ours) / median(raw),
                        median(ours) * 1000, median(raw) * 1000);
            std::fflush(stdout);

            if (s + 1 != sizes.size()) continue;
            // The largest vault stays unlocked: its watcher, idle, then a copy.
            const auto unlockedAt = Clock::now();
            must(runSync(cli, {"unlock", "--password-stdin", vault.string()}, line(kPassword), 180),
                 "hushcoffer-cli unlock");
            const pid_t pid = watcherPid(image);
            std::printf("watcher_first_pass_s: %.1f (after a lock)\n", waitFirstPass(pid, unlockedAt));
            const Usage start = usageOf(pid);
            std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
            const Usage end = usageOf(pid);
            std::printf("idle_watcher_cpu_percent: %.2f (over %d s, %d files)\n",
                        100.0 * (end.cpu - start.cpu) / idleSeconds, idleSeconds, files);
            std::printf("idle_watcher_rss_kb_start: %ld\nidle_watcher_rss_kb_end: %ld\n", start.rssKb, end.rssKb);
            std::fflush(stdout);

            // Conflict copies arriving in folders far apart, one at a time,
            // each in a folder nothing touched for a while (the worst case:
            // a folder no watch covers, found by the timed pass). The copy's
            // content is made at the top and parked outside the image
            // folder, as a client downloading elsewhere would.
            const vaultkit::GocryptfsControlSocket socket(vaultkit::GocryptfsDiskImage().controlSocket(image));
            std::vector<double> shown;
            const int folders = (files + filesPerFolder - 1) / filesPerFolder;
            int k = 0;
            for (const int folder : {folders - 1, folders / 2, 1}) {
                const std::string dir = folderOf(folder * filesPerFolder);
                const std::string donor = "donor" + std::to_string(++k) + ".txt";
                {
                    std::ofstream out(vault / donor);
                    out << "theirs\n";
                }
                const auto donorCipher = socket.encryptPath(donor);
                const auto originalCipher = socket.encryptPath(dir + "/file0.txt");
                if (!donorCipher || !originalCipher) throw std::runtime_error("no encrypted names in " + dir);
                const fs::path parked = root / ("parked" + std::to_string(k));
                fs::rename(image / *donorCipher, parked);
                // a client keeps the time the file had on the other computer
                const timespec times[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
                ::utimensat(AT_FDCWD, parked.c_str(), times, 0);
                // the watcher settles the change at the top first
                std::this_thread::sleep_for(std::chrono::milliseconds(3000));
                const fs::path target = vault / dir / "file0 (Conflict 1).txt";
                const auto arrived = Clock::now();
                fs::rename(parked, image / (*originalCipher + ".sync-conflict-20240501-101010-ABCDEFG"));
                while (!fs::exists(target)) {
                    if (Clock::now() - arrived > std::chrono::seconds(60))
                        throw std::runtime_error("the copy in " + dir + " was not shown within 60 s");
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                shown.push_back(std::chrono::duration<double, std::milli>(Clock::now() - arrived).count());
                std::fprintf(stderr, "conflict copy in %s shown after %.0f ms\n", dir.c_str(), shown.back());
            }
            std::printf("conflict_shown_ms: %.0f (target 2000, %d files)\n", median(shown), files);
            std::printf("conflict_shown_max_ms: %.0f\n", *std::max_element(shown.begin(), shown.end()));
            must(runSync(cli, {"lock", vault.string()}, std::nullopt, 120), "hushcoffer-cli lock");
        }
    } catch (const std::exception& e) {
        std::cerr << "unlock_bench: " << e.what() << '\n';
        if (!root.empty()) {
            for (const auto& e2 : fs::directory_iterator(root))
                if (e2.is_directory()) runSync("/usr/bin/fusermount3", {"-u", "-z", "--", e2.path().string()},
                                               std::nullopt, 30);
        }
        return 1;
    }
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec))
        if (e.is_directory()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
    return 0;
}
