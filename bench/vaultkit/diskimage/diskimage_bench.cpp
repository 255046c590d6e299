// Attaching and detaching one gocryptfs image through the driver, against the
// raw tools (gocryptfs, then fusermount3 -u) on the same image and mount
// point, side by side in one run. Prints "attach_detach: RATIO" (driver time
// over raw time; 1.10 would be 10% overhead).
//
// Run it as an ordinary user (FUSE refuses nothing to root):
//   scripts/run-as-user build/<dir>/bench/diskimage_bench
// The image uses scrypt cost 10 unless HC_BENCH_SCRYPTN says otherwise (0:
// gocryptfs's default); a low cost makes the driver's own work stand out more.
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/process/Exec.h"

#include "SideBySide.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vaultkit::GocryptfsDiskImage;

const std::string kPassword = "correct horse battery staple 42";

struct Fixture {
    fs::path dir, image, mountPoint;
    std::shared_ptr<GocryptfsDiskImage> driver;

    Fixture() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/hc-bench.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        dir = fs::canonical(buf.data());
        image = dir / "data.gocryptfs";
        mountPoint = dir / "Vault";
        fs::create_directory(mountPoint);
        GocryptfsDiskImage::Options options;
        const char* n = std::getenv("HC_BENCH_SCRYPTN");
        options.scryptN = n && *n ? std::atoi(n) : 10;
        driver = std::make_shared<GocryptfsDiskImage>(options);
        driver->create(image, kPassword, "bench");
        // One untimed round: the first mount pays for cold caches.
        driver->attach(image, kPassword, mountPoint);
        driver->detach(mountPoint.string(), false);
    }
    ~Fixture() {
        std::error_code ec;
        if (driver->isMountPoint(mountPoint)) driver->detach(mountPoint.string(), true);
        fs::remove_all(dir, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_AttachDetach_Driver(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        f.driver->attach(f.image, kPassword, f.mountPoint);
        f.driver->detach(f.mountPoint.string(), false);
    }
}

void BM_AttachDetach_Raw(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        std::string line = kPassword + "\n";
        const auto mount = vaultkit::Exec::runSync(
            "/usr/bin/gocryptfs", {"-q", "-nonempty", "--", f.image.string(), f.mountPoint.string()},
            vaultkit::Bytes(line.begin(), line.end()), 180);
        const auto unmount = vaultkit::Exec::runSync("/usr/bin/fusermount3",
                                                     {"-u", "--", f.mountPoint.string()}, std::nullopt, 120);
        if (mount.status != 0 || unmount.status != 0) {
            state.SkipWithError("raw gocryptfs or fusermount3 failed");
            break;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() == 0)
        std::fprintf(stderr, "note: running as root; run as an ordinary user for real numbers\n");
    return sidebyside::run(argc, argv, "attach_detach", {"raw", "BM_AttachDetach_Raw", BM_AttachDetach_Raw},
                           {"driver", "BM_AttachDetach_Driver", BM_AttachDetach_Driver});
}
