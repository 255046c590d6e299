// File-system work inside an unlocked vault against the same work in the
// plain folder beside it, side by side in alternating rounds:
//   large_write  one large file written and flushed (fsync)
//   large_read   the same file read back (warm caches, as right after saving)
//   small_create 20,000 small files in 200 folders written
//   small_list   those folders listed with every entry's attributes
//   small_delete those files and folders removed
// Prints "fs_<work>: RATIO" (vault time over plain time) for the driver's
// default mount options. With --options, every set of mount options given
// (one argument each, options separated by spaces, "default" for the
// driver's own, "none" for none) is measured in the same run and printed as
// "fs_<work>[<set>]: RATIO".
//
// Run it as an ordinary user (FUSE refuses nothing to root):
//   scripts/run-as-user build/<dir>/bench/throughput_bench [--rounds N]
//       [--files N] [--large-mb N] [--options SET...]
#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vaultkit::GocryptfsDiskImage;

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
};

// The five measurements on one folder, in seconds.
using Times = std::map<std::string, double>;
const std::vector<std::string> kNames = {"large_write", "large_read", "small_create", "small_list",
                                         "small_delete"};

double timed(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Times measure(const fs::path& root, const Work& work) {
    Times t;
    const fs::path big = root / "large.bin";
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 2654435761u) >> 13);
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
    t["large_read"] = timed([&] {
        const int fd = ::open(big.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("open " + big.string());
        std::size_t total = 0;
        for (;;) {
            const ssize_t n = ::read(fd, block.data(), block.size());
            if (n < 0) fail("read");
            if (n == 0) break;
            total += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (total != static_cast<std::size_t>(work.largeMb) << 20) throw std::runtime_error("short read");
    });
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

std::vector<std::string> split(const std::string& set) {
    if (set == "default") return GocryptfsDiskImage::mountOptionsFor(DiskImage::MountMode::shared);
    std::vector<std::string> out;
    if (set == "none") return out;
    std::istringstream in(set);
    for (std::string o; in >> o;)
        out.push_back(o);
    return out;
}

struct Bench {
    fs::path dir, image, mountPoint, plain;

    Bench() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/hc-fs-bench.XXXXXX";
        if (!::mkdtemp(templ.data())) fail("mkdtemp");
        dir = fs::canonical(templ);
        image = dir / ".Vault.hushcoffer" / "data.gocryptfs";
        mountPoint = dir / "Vault";
        plain = dir / "Plain";
        fs::create_directories(image.parent_path());
        fs::create_directory(mountPoint);
        fs::create_directory(plain);
        GocryptfsDiskImage::Options o;
        o.scryptN = 10;
        GocryptfsDiskImage(o).create(image, kPassword, "bench");
    }
    ~Bench() {
        std::error_code ec;
        GocryptfsDiskImage driver;
        if (driver.isMountPoint(mountPoint)) {
            try {
                driver.detach(mountPoint.string(), true);
            } catch (...) {
            }
        }
        fs::remove_all(dir, ec);
    }

    // Ratios (vault over plain) of the summed times of all rounds.
    Times compare(const std::vector<std::string>& options, const Work& work, int rounds) {
        GocryptfsDiskImage::Options o;
        o.mountOptions = options;
        GocryptfsDiskImage driver(o);
        driver.attach(image, kPassword, mountPoint);
        Times vault, base;
        try {
            measure(mountPoint, Work{std::min(work.files, 1000), 8}); // warm-up, untimed
            for (int r = 0; r < rounds; ++r) {
                Times a, b;
                if (r % 2 == 0) {
                    b = measure(plain, work);
                    a = measure(mountPoint, work);
                } else {
                    a = measure(mountPoint, work);
                    b = measure(plain, work);
                }
                for (const auto& n : kNames) {
                    vault[n] += a[n];
                    base[n] += b[n];
                    std::fprintf(stderr, "  round %d %-12s vault %8.3f s  plain %8.3f s\n", r, n.c_str(),
                                 a[n], b[n]);
                }
            }
        } catch (...) {
            driver.detach(mountPoint.string(), true);
            throw;
        }
        driver.detach(mountPoint.string(), false);
        Times ratio;
        for (const auto& n : kNames)
            ratio[n] = base[n] > 0 ? vault[n] / base[n] : 0;
        return ratio;
    }
};

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
    std::vector<std::string> sets;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--files" && i + 1 < argc)
            work.files = std::max(kPerFolder, std::atoi(argv[++i]));
        else if (a == "--large-mb" && i + 1 < argc)
            work.largeMb = std::max(1, std::atoi(argv[++i]));
        else if (a == "--options") {
            while (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0)
                sets.emplace_back(argv[++i]);
        } else {
            std::fprintf(
                stderr,
                "usage: throughput_bench [--rounds N] [--files N] [--large-mb N] [--options SET...]\n");
            return 2;
        }
    }
    try {
        Bench bench;
        if (sets.empty()) {
            const Times r = bench.compare(GocryptfsDiskImage::mountOptionsFor(DiskImage::MountMode::shared), work, rounds);
            for (const auto& n : kNames)
                std::printf("fs_%s: %.3f\n", n.c_str(), r.at(n));
        } else {
            for (const auto& set : sets) {
                std::fprintf(stderr, "options: %s\n", set.c_str());
                const Times r = bench.compare(split(set), work, rounds);
                for (const auto& n : kNames)
                    std::printf("fs_%s[%s]: %.3f\n", n.c_str(), label(set).c_str(), r.at(n));
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "throughput_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
