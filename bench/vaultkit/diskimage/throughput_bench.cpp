// File-system work inside an unlocked vault against the same work in a plain
// folder beside it, side by side in alternating rounds:
//   large_write   one large file written and flushed (fsync)
//   large_read    the same file read back (as right after saving it)
//   large_reread  the same file read a second time (a file opened again)
//   cold_read     the same file read with every cache dropped (a file
//                 opened the next day)
//   small_create  20,000 small files in 200 folders written
//   small_list    those folders listed with every entry's attributes
//   ls_l          `ls -lR` of those folders, the real program (it also asks
//                 each entry's extended attributes, as file managers do)
//   ls_l_cold     the same with every cache dropped
//   small_delete  those files and folders removed, once they are on disk
//                 (both sides flushed first: deleting files the disk never
//                 saw is another, much cheaper thing)
//
// The cold figures need the page, dentry and inode caches dropped, which only
// root can do: bench/run-all, as root, runs a helper that drops them when
// asked through two named pipes in a folder (--drop-caches FOLDER: write a
// line to FOLDER/ask, then read FOLDER/done to its end). Without it the cold
// figures are left out.
//
// Prints "fs_<target>_<work>: RATIO" (time in the target over time in the
// plain folder, summed over the rounds) for each target, all in one run:
//   local              a vault in local mode (a folder nothing else changes)
//   shared             a vault in shared mode (a synced folder)
//   gocryptfs_default  gocryptfs with its default options (what the other
//                      Linux tools built on gocryptfs mount with)
//   securefs, encfs, cryfs
//                      the other encrypted file systems, when installed
//                      (bench/setup-peers installs them)
// With --options, every set of gocryptfs mount options given (one argument
// each, options separated by spaces, "none" for none) is measured instead and
// printed as "fs_<work>[<set>]: RATIO".
//
// Run it as an ordinary user (FUSE refuses nothing to root):
//   scripts/run-as-user build/<dir>/bench/throughput_bench [--rounds N]
//       [--files N] [--large-mb N] [--no-peers] [--drop-caches FOLDER]
//       [--options SET...]
#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vaultkit::DiskImage;
using vaultkit::GocryptfsDiskImage;

// A benchmark's throw-away password (the peers' tools take it on their
// command line or standard input).
const std::string kPassword = "correct horse battery staple 42";
constexpr int kPerFolder = 100;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

struct Work {
    int files = 20000;
    int largeMb = 256;
    std::string cacheHelper; // the folder of the root helper's pipes, or empty
};

// The measurements on one folder, in seconds.
using Times = std::map<std::string, double>;
const std::vector<std::string> kAllNames = {"large_write", "large_read", "large_reread", "cold_read",
                                            "small_create", "small_list", "ls_l", "ls_l_cold",
                                            "small_delete"};
const std::vector<std::string> kColdNames = {"cold_read", "ls_l_cold"};

// The figures measured: every one, or all but the cold ones.
std::vector<std::string> names(bool cold) {
    std::vector<std::string> out;
    for (const auto& n : kAllNames)
        if (cold || std::find(kColdNames.begin(), kColdNames.end(), n) == kColdNames.end()) out.push_back(n);
    return out;
}

// Drops the kernel's caches through the root helper's pipes (see the top of
// the file); does nothing without one.
void dropCaches(const std::string& helper) {
    if (helper.empty()) return;
    const int ask = ::open((helper + "/ask").c_str(), O_WRONLY | O_CLOEXEC);
    if (ask < 0) fail("open " + helper + "/ask");
    writeAll(ask, "drop\n", 5);
    ::close(ask);
    const int done = ::open((helper + "/done").c_str(), O_RDONLY | O_CLOEXEC);
    if (done < 0) fail("open " + helper + "/done");
    char buf[64];
    ssize_t n = 0;
    std::string answer;
    while ((n = ::read(done, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) answer.append(buf, static_cast<std::size_t>(n));
    ::close(done);
    if (answer.rfind("ok", 0) != 0) throw std::runtime_error("the cache helper answered: " + answer);
}

int runTool(const std::vector<std::string>& argv, const std::string& input = {});

double timed(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void readWhole(const fs::path& file, std::string& buffer, std::size_t expected) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("open " + file.string());
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) fail("read");
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (total != expected) throw std::runtime_error("short read");
}

Times measure(const fs::path& root, const Work& work) {
    Times t;
    const fs::path big = root / "large.bin";
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::size_t bigSize = static_cast<std::size_t>(work.largeMb) << 20;
    t["large_write"] = timed([&] {
        const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) fail("open " + big.string());
        for (int m = 0; m < work.largeMb; ++m) {
            block[0] = static_cast<char>(m);
            writeAll(fd, block.data(), block.size());
        }
        if (::fsync(fd) != 0) fail("fsync");
        ::close(fd);
    });
    t["large_read"] = timed([&] { readWhole(big, block, bigSize); });
    t["large_reread"] = timed([&] { readWhole(big, block, bigSize); });
    if (!work.cacheHelper.empty()) {
        dropCaches(work.cacheHelper);
        t["cold_read"] = timed([&] { readWhole(big, block, bigSize); });
    }
    ::unlink(big.c_str());

    const fs::path tree = root / "small";
    t["small_create"] = timed([&] {
        if (::mkdir(tree.c_str(), 0700) != 0) fail("mkdir");
        std::string folder;
        for (int i = 0; i < work.files; ++i) {
            if (i % kPerFolder == 0) {
                folder = tree.string() + "/folder-" + std::to_string(i / kPerFolder);
                if (::mkdir(folder.c_str(), 0700) != 0) fail("mkdir");
            }
            const std::string file = folder + "/file-" + std::to_string(i) + ".txt";
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) fail("open " + file);
            writeAll(fd, block.data(), static_cast<std::size_t>(200 + (i * 37) % 3800));
            ::close(fd);
        }
    });
    std::size_t seen = 0;
    t["small_list"] = timed([&] {
        // as a file manager's listing does: names, then each entry's attributes
        std::function<void(const std::string&)> walk = [&](const std::string& dir) {
            DIR* d = ::opendir(dir.c_str());
            if (!d) fail("opendir " + dir);
            std::vector<std::string> subdirs;
            while (const dirent* e = ::readdir(d)) {
                if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
                struct stat st {};
                if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("stat");
                ++seen;
                if (S_ISDIR(st.st_mode)) subdirs.push_back(dir + "/" + e->d_name);
            }
            ::closedir(d);
            for (const auto& s : subdirs)
                walk(s);
        };
        walk(tree.string());
    });
    const std::size_t expected = static_cast<std::size_t>(work.files) +
                                 static_cast<std::size_t>((work.files + kPerFolder - 1) / kPerFolder);
    if (seen != expected) throw std::runtime_error("listing saw " + std::to_string(seen) + " entries");
    // `ls -lR`: what a terminal user runs, each entry's extended attributes
    // included; right after the walk above, then cold.
    const auto lsTree = [&] {
        if (runTool({"/bin/ls", "-lR", tree.string()}) != 0) throw std::runtime_error("ls -lR failed");
    };
    t["ls_l"] = timed(lsTree);
    if (!work.cacheHelper.empty()) {
        dropCaches(work.cacheHelper);
        t["ls_l_cold"] = timed(lsTree);
    }
    // The files reach the disk before they are deleted, on both sides.
    ::sync();
    t["small_delete"] = timed([&] {
        for (int f = 0; f * kPerFolder < work.files; ++f) {
            const std::string folder = tree.string() + "/folder-" + std::to_string(f);
            for (int i = f * kPerFolder; i < std::min(work.files, (f + 1) * kPerFolder); ++i) {
                const std::string file = folder + "/file-" + std::to_string(i) + ".txt";
                if (::unlink(file.c_str()) != 0) fail("unlink");
            }
            if (::rmdir(folder.c_str()) != 0) fail("rmdir");
        }
        if (::rmdir(tree.c_str()) != 0) fail("rmdir");
    });
    ::sync(); // untimed: the next measurement starts with nothing left to write
    return t;
}

// Runs a tool that may leave a daemon behind: its output goes to /dev/null
// (a daemon holding our pipes would keep us waiting), `input` to its standard
// input; waits for the tool itself only. The exit status, or -1.
int runTool(const std::vector<std::string>& argv, const std::string& input) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) fail("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        ::dup2(in[0], 0);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) writeAll(in[1], input.data(), input.size());
    ::close(in[1]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool mounted(const fs::path& mountPoint) {
    return GocryptfsDiskImage().isMountPoint(mountPoint);
}

void waitFor(const std::function<bool()>& condition, const std::string& what) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (Clock::now() > deadline) throw std::runtime_error("timed out: " + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Unmounts a FUSE mount of another tool (the daemon may take a moment to let
// go of its last file).
void unmountFuse(const fs::path& mountPoint) {
    waitFor(
        [&] {
            runTool({"/usr/bin/fusermount", "-u", mountPoint.string()});
            return !mounted(mountPoint);
        },
        "unmount " + mountPoint.string());
}

// One file system to measure: how to mount it on its folder and unmount it.
struct Target {
    std::string name;
    fs::path mountPoint;
    std::function<void()> mount;
    std::function<void()> unmount;
};

struct Bench {
    fs::path dir, plain;
    std::vector<Target> targets;

    Bench() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/hc-fs-bench.XXXXXX";
        if (!::mkdtemp(templ.data())) fail("mkdtemp");
        dir = fs::canonical(templ);
        plain = dir / "Plain";
        fs::create_directory(plain);
    }
    ~Bench() {
        std::error_code ec;
        for (const auto& t : targets) {
            if (!mounted(t.mountPoint)) continue;
            runTool({"/usr/bin/fusermount", "-u", "-z", t.mountPoint.string()});
            runTool({"/usr/bin/fusermount3", "-u", "-z", t.mountPoint.string()});
        }
        fs::remove_all(dir, ec);
    }

    fs::path folder(const std::string& name) {
        const fs::path p = dir / name;
        fs::create_directories(p);
        return p;
    }

    // A vault image mounted by the driver, in a mode or with given options.
    void addGocryptfs(const std::string& name, std::optional<DiskImage::MountMode> mode,
                      std::optional<std::vector<std::string>> options = std::nullopt) {
        const fs::path image = folder("." + name + ".hushcoffer") / "data.gocryptfs";
        GocryptfsDiskImage::Options creating;
        creating.scryptN = 10;
        GocryptfsDiskImage(creating).create(image, kPassword, "bench");
        GocryptfsDiskImage::Options o;
        o.mountOptions = std::move(options);
        auto driver = std::make_shared<GocryptfsDiskImage>(o);
        const fs::path mp = folder(name);
        targets.push_back({name, mp,
                           [=] { driver->attach(image, kPassword, mp, mode.value_or(DiskImage::MountMode::shared)); },
                           [=] { driver->detach(mp.string(), false); }});
    }

    // The other encrypted file systems, each when its tool is installed.
    void addPeers() {
        if (::access("/usr/bin/securefs", X_OK) == 0) {
            const fs::path cipher = folder("securefs-data"), mp = folder("securefs");
            if (runTool({"/usr/bin/securefs", "create", "--pass", kPassword, cipher.string()}) != 0)
                throw std::runtime_error("securefs create failed");
            targets.push_back({"securefs", mp,
                               [=] {
                                   if (runTool({"/usr/bin/securefs", "mount", "-b", "--pass", kPassword,
                                                cipher.string(), mp.string()}) != 0)
                                       throw std::runtime_error("securefs mount failed");
                                   waitFor([&] { return mounted(mp); }, "securefs mount");
                               },
                               [=] { unmountFuse(mp); }});
        } else {
            std::fprintf(stderr, "securefs is not installed (bench/setup-peers): skipped\n");
        }
        if (::access("/usr/bin/encfs", X_OK) == 0) {
            const fs::path cipher = folder("encfs-data"), mp = folder("encfs");
            // --standard: the settings encfs proposes (AES, 1 KiB blocks)
            if (runTool({"/usr/bin/encfs", "--standard", "-S", cipher.string(), mp.string()}, kPassword + "\n") != 0)
                throw std::runtime_error("encfs create failed");
            unmountFuse(mp);
            targets.push_back({"encfs", mp,
                               [=] {
                                   if (runTool({"/usr/bin/encfs", "-S", cipher.string(), mp.string()},
                                               kPassword + "\n") != 0)
                                       throw std::runtime_error("encfs mount failed");
                                   waitFor([&] { return mounted(mp); }, "encfs mount");
                               },
                               [=] { unmountFuse(mp); }});
        } else {
            std::fprintf(stderr, "encfs is not installed (bench/setup-peers): skipped\n");
        }
        if (::access("/usr/bin/cryfs", X_OK) == 0) {
            ::setenv("CRYFS_FRONTEND", "noninteractive", 1);
            ::setenv("CRYFS_NO_UPDATE_CHECK", "true", 1);
            const fs::path cipher = folder("cryfs-data"), mp = folder("cryfs");
            const auto mount = [=] {
                if (runTool({"/usr/bin/cryfs", cipher.string(), mp.string()}, kPassword + "\n") != 0)
                    throw std::runtime_error("cryfs mount failed");
                waitFor([&] { return mounted(mp); }, "cryfs mount");
            };
            mount(); // the first mount makes the file system
            unmountFuse(mp);
            targets.push_back({"cryfs", mp, mount, [=] { unmountFuse(mp); }});
        } else {
            std::fprintf(stderr, "cryfs is not installed (bench/setup-peers): skipped\n");
        }
    }

    // Ratios (target over plain) of the summed times of all rounds.
    Times compare(const Target& target, const Work& work, int rounds) {
        std::fprintf(stderr, "%s (load: %s)\n", target.name.c_str(), loadAverage().c_str());
        target.mount();
        Times inTarget, base;
        try {
            measure(target.mountPoint, Work{std::min(work.files, 1000), 8, {}}); // warm-up, untimed
            for (int r = 0; r < rounds; ++r) {
                Times a, b;
                if (r % 2 == 0) {
                    b = measure(plain, work);
                    a = measure(target.mountPoint, work);
                } else {
                    a = measure(target.mountPoint, work);
                    b = measure(plain, work);
                }
                for (const auto& n : names(!work.cacheHelper.empty())) {
                    inTarget[n] += a[n];
                    base[n] += b[n];
                    std::fprintf(stderr, "  round %d %-12s %s %8.3f s  plain %8.3f s\n", r, n.c_str(),
                                 target.name.c_str(), a[n], b[n]);
                }
            }
        } catch (...) {
            try {
                target.unmount();
            } catch (...) {
            }
            throw;
        }
        target.unmount();
        Times ratio;
        for (const auto& n : names(!work.cacheHelper.empty()))
            ratio[n] = base[n] > 0 ? inTarget[n] / base[n] : 0;
        return ratio;
    }

    static std::string loadAverage() {
        FILE* f = std::fopen("/proc/loadavg", "r");
        if (!f) return "?";
        char buf[64] = {};
        if (!std::fgets(buf, sizeof buf, f)) buf[0] = '\0';
        std::fclose(f);
        std::string s(buf);
        return s.substr(0, s.find(' ', s.find(' ', s.find(' ') + 1) + 1));
    }
};

std::vector<std::string> split(const std::string& set) {
    std::vector<std::string> out;
    if (set == "none") return out;
    std::istringstream in(set);
    for (std::string o; in >> o;)
        out.push_back(o);
    return out;
}

std::string label(const std::string& set) {
    std::string out;
    for (const char c : set)
        out.push_back(c == ' ' ? ',' : c);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() == 0)
        std::fprintf(stderr, "note: running as root; run as an ordinary user for real numbers\n");
    Work work;
    int rounds = 3;
    bool peers = true;
    std::vector<std::string> sets;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--files" && i + 1 < argc)
            work.files = std::max(kPerFolder, std::atoi(argv[++i]));
        else if (a == "--large-mb" && i + 1 < argc)
            work.largeMb = std::max(1, std::atoi(argv[++i]));
        else if (a == "--no-peers")
            peers = false;
        else if (a == "--drop-caches" && i + 1 < argc)
            work.cacheHelper = argv[++i];
        else if (a == "--options") {
            while (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0)
                sets.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: throughput_bench [--rounds N] [--files N] [--large-mb N] [--no-peers] "
                                 "[--drop-caches FOLDER] [--options SET...]\n");
            return 2;
        }
    }
    if (work.cacheHelper.empty())
        std::fprintf(stderr, "no cache helper (--drop-caches): the cold figures are left out\n");
    try {
        Bench bench;
        if (sets.empty()) {
            bench.addGocryptfs("local", DiskImage::MountMode::local);
            bench.addGocryptfs("shared", DiskImage::MountMode::shared);
            bench.addGocryptfs("gocryptfs_default", std::nullopt, std::vector<std::string>{});
            if (peers) bench.addPeers();
            for (const auto& target : bench.targets) {
                const Times r = bench.compare(target, work, rounds);
                for (const auto& n : names(!work.cacheHelper.empty()))
                    std::printf("fs_%s_%s: %.3f\n", target.name.c_str(), n.c_str(), r.at(n));
                std::fflush(stdout);
            }
        } else {
            for (const auto& set : sets)
                bench.addGocryptfs("options-" + std::to_string(bench.targets.size()), std::nullopt, split(set));
            for (std::size_t i = 0; i < sets.size(); ++i) {
                std::fprintf(stderr, "options: %s\n", sets[i].c_str());
                const Times r = bench.compare(bench.targets[i], work, rounds);
                for (const auto& n : names(!work.cacheHelper.empty()))
                    std::printf("fs_%s[%s]: %.3f\n", n.c_str(), label(sets[i]).c_str(), r.at(n));
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "throughput_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
