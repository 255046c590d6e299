// Importing into an unlocked vault (copy and entry-by-entry check, with the
// byte-progress sampling the application uses) against plain `cp -a` of the
// same tree into the same vault, side by side in alternating rounds. Two
// trees: 20,000 small files in 200 folders, and a few large files. Prints
//   import_small: RATIO
//   import_large: RATIO
// (import time over cp time; the target is 1.15 or less).
//
// Run it as an ordinary user (FUSE refuses nothing to root):
//   scripts/run-as-user build/<dir>/bench/import_bench
// Options (run-as-user passes arguments, not the environment):
//   --rounds N (default 3) --small-files N (20000) --large-files N (4)
//   --large-mb N (64 per file) --progress 0|1 (1: the import reports its byte
//   fraction, sampling the copy while it runs, as the application asks)
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/vault/Vault.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kPassword = "correct horse battery staple 42";

int option(int argc, char** argv, const std::string& name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::atoi(argv[i + 1]);
    return fallback;
}

void run(const std::string& tool, const std::vector<std::string>& args) {
    const auto r = vaultkit::Exec::runSync(tool, args, std::nullopt, 3600);
    if (r.status != 0) throw std::runtime_error(tool + " failed: " + r.stderrText);
}

// Removes a copy from the vault and lets the writes settle, untimed.
void settle(const fs::path& copy) {
    if (fs::exists(fs::symlink_status(copy))) run("/usr/bin/rm", {"-rf", "--", copy.string()});
    ::sync();
}

struct Bench {
    bool progress = true; // ask for the byte fraction, as the application does
    fs::path dir;
    std::shared_ptr<vaultkit::Vault> vault;

    Bench() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/hc-import-bench.XXXXXX";
        if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
        dir = fs::canonical(templ);
        vaultkit::GocryptfsDiskImage::Options options;
        options.scryptN = 10;
        fs::create_directory(dir / "home");
        vault = vaultkit::Vault::create(dir / "home", "Vault", kPassword, vaultkit::Mnemonic::generate(), {},
                                        std::make_shared<vaultkit::GocryptfsDiskImage>(options));
    }
    ~Bench() {
        try {
            if (vault && vault->isUnlocked()) vault->lock(true);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "lock: %s\n", e.what());
        }
        std::error_code ec;
        fs::permissions(dir / "home" / "Vault", fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }

    fs::path makeSmallTree(int files) {
        const fs::path root = dir / "src" / "small";
        const int perFolder = 100;
        for (int i = 0; i < files; ++i) {
            const fs::path folder = root / ("folder-" + std::to_string(i / perFolder));
            if (i % perFolder == 0) fs::create_directories(folder);
            std::ofstream(folder / ("file-" + std::to_string(i) + ".txt"), std::ios::binary) << std::string(
                static_cast<std::size_t>(200 + (i * 37) % 3800), static_cast<char>('a' + i % 26));
        }
        return root;
    }

    fs::path makeLargeTree(int files, int megabytes) {
        const fs::path root = dir / "src" / "large";
        fs::create_directories(root);
        std::string block(1 << 20, '\0');
        for (int f = 0; f < files; ++f) {
            std::ofstream out(root / ("large-" + std::to_string(f) + ".bin"), std::ios::binary);
            for (int m = 0; m < megabytes; ++m) {
                for (std::size_t i = 0; i < block.size(); i += 64)
                    block[i] = static_cast<char>(f * 31 + m + i);
                out << block;
            }
        }
        return root;
    }

    double timeCp(const fs::path& source) {
        const fs::path copy = vault->mountPoint() / "plain-copy";
        settle(copy);
        const auto start = Clock::now();
        run("/usr/bin/cp", {"-a", "--", source.string(), copy.string()});
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // what the check alone costs on top of such a copy (not in the ratio)
        const auto checkStart = Clock::now();
        const auto entries = vaultkit::Importer::inventory(source).entries.size() +
                             vaultkit::Importer::inventory(copy).entries.size();
        std::fprintf(stderr, "  check of %zu entries after cp -a: %.3f s\n", entries,
                     std::chrono::duration<double>(Clock::now() - checkStart).count());
        settle(copy);
        return seconds;
    }

    double timeImport(const fs::path& source) {
        settle(vault->mountPoint() / source.filename());
        const auto start = Clock::now();
        const auto results = vaultkit::Importer::copy(
            {source}, *vault, [](const fs::path&) {},
            progress ? vaultkit::Importer::ByteProgress([](double) {}) : vaultkit::Importer::ByteProgress());
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (results.size() != 1 || !results[0].ok())
            throw std::runtime_error(
                "import reported problems: " +
                (results.empty() || results[0].problems.empty() ? std::string("?") : results[0].problems[0]));
        settle(results[0].destination);
        return seconds;
    }

    // Alternating rounds (the order swaps each round), so that a drift of the
    // machine hits both sides alike; the ratio of the total times.
    void compare(const char* label, const fs::path& source, int rounds) {
        timeCp(source); // warm caches, untimed
        double cpTotal = 0, importTotal = 0;
        for (int r = 0; r < rounds; ++r) {
            double cpTime, importTime;
            if (r % 2 == 0) {
                cpTime = timeCp(source);
                importTime = timeImport(source);
            } else {
                importTime = timeImport(source);
                cpTime = timeCp(source);
            }
            std::fprintf(stderr, "%s round %d: cp -a %.3f s, import %.3f s\n", label, r, cpTime, importTime);
            cpTotal += cpTime;
            importTotal += importTime;
        }
        std::printf("%s: %.3f (import %.3f s, cp -a %.3f s per round)\n", label, importTotal / cpTotal,
                    importTotal / rounds, cpTotal / rounds);
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() == 0)
        std::fprintf(stderr, "note: running as root; run as an ordinary user for real numbers\n");
    try {
        const int rounds = option(argc, argv, "--rounds", 3);
        Bench bench;
        bench.progress = option(argc, argv, "--progress", 1) != 0;
        const fs::path small = bench.makeSmallTree(option(argc, argv, "--small-files", 20000));
        const fs::path large =
            bench.makeLargeTree(option(argc, argv, "--large-files", 4), option(argc, argv, "--large-mb", 64));
        ::sync();
        bench.compare("import_small", small, rounds);
        bench.compare("import_large", large, rounds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "import_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
