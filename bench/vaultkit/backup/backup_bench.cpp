// The backup engine against restic on the same encrypted folder, in the same
// run: a first push of a vault to a local folder against `restic backup` to a
// local repository, a second push with nothing changed (its share of the
// first), a push after rewriting 1% of the files (the share of the bands it
// sends), a restore against `restic restore`, and the peak memory of each.
// Each operation runs in a child process of its own, so its peak resident
// size is its own (wait4).
//
//   backup_bench [--mb N] [--quick]     (default 1024 MiB; --quick: 128)
// Prints
//   backup_push: <ours over restic> (ours X ms, restic Y ms)
//   backup_push_unchanged_share: <second push over first push>
//   backup_push_1pct_bands_sent: <bands sent over bands of the vault>
//   backup_push_1pct: <ours over restic> (...)
//   backup_restore: <ours over restic> (...)
//   backup_peak_rss_mib: <ours> (restic N MiB)
#include "vaultkit/backup/BandSync.h"
#include "vaultkit/backup/LocalFolderStore.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/VaultConfig.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace vaultkit;
using Clock = std::chrono::steady_clock;

namespace {

struct Run {
    double ms = 0;
    long maxRssKiB = 0;
    bool ok = false;
};

Run finish(pid_t pid, Clock::time_point start) {
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Run r;
    r.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    r.maxRssKiB = usage.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// Runs `work` in a forked child.
Run inChild(const std::function<void()>& work) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            work();
        } catch (const std::exception& e) {
            std::cerr << "backup_bench: " << e.what() << '\n';
            ::_exit(1);
        }
        ::_exit(0);
    }
    return finish(pid, start);
}

Run tool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return {};
    posix_spawn_file_actions_destroy(&actions);
    return finish(pid, start);
}

void writeRandom(const fs::path& file, std::size_t size, std::mt19937_64& rng) {
    std::ofstream out(file, std::ios::binary);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::size_t done = 0; done < size;) {
        for (auto& v : block)
            v = rng();
        const std::size_t n = std::min(size - done, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
}

void line(const char* figure, const Run& ours, const Run& restic) {
    std::printf("%s: %.3f (ours %.0f ms, restic %.0f ms)\n", figure, ours.ms / restic.ms, ours.ms, restic.ms);
}

} // namespace

int main(int argc, char** argv) {
    std::size_t mb = 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick")
            mb = 128;
        else if (a == "--mb" && i + 1 < argc)
            mb = std::strtoul(argv[++i], nullptr, 10);
        else {
            std::cerr << "usage: backup_bench [--mb N] [--quick]\n";
            return 2;
        }
    }
    if (!fs::exists("/usr/bin/restic")) {
        std::cerr << "backup_bench: restic is not installed\n";
        return 1;
    }
    char pattern[] = "/tmp/hc-backup-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path root = pattern;
    const fs::path vault = root / "home/.Vault.hushcoffer";
    const fs::path data = vault / "data.gocryptfs";
    fs::create_directories(data / "d");

    // A vault directory: a record, and files of 5 MiB (a few small ones).
    VaultConfig config;
    config.id = Uuid::random();
    config.name = "Vault";
    config.recoveryPublicKey.assign(32, 1);
    ConfigStore::save(config, vault / "vault.json", std::nullopt);
    std::mt19937_64 rng(42);
    const std::size_t fileBytes = 5 * 1048576;
    const std::size_t files = std::max<std::size_t>(1, mb * 1048576 / fileBytes);
    for (std::size_t i = 0; i < files; ++i)
        writeRandom(data / "d" / ("f" + std::to_string(i)), fileBytes, rng);
    writeRandom(data / "gocryptfs.conf", 400, rng);
    std::cerr << "backup_bench: " << files << " files of 5 MiB in " << data << '\n';

    const fs::path store = root / "store", repo = root / "restic", password = root / "restic-password";
    { std::ofstream(password) << "benchmark repository password\n"; }
    const std::string pw = "--password-file=" + password.string();
    tool({"/usr/bin/restic", "init", "--quiet", "--repo", repo.string(), pw});

    BandSync::PushResult first, second, third;
    auto push = [&](BandSync::PushResult& into) {
        return [&] {
            LocalFolderStore s(store);
            const auto r = BandSync(s).push(vault, {});
            // The child's result goes back through a file.
            std::ofstream(root / "result") << r.bands << ' ' << r.bandsSent << '\n';
            (void)into;
        };
    };
    auto readResult = [&](BandSync::PushResult& into) {
        std::ifstream(root / "result") >> into.bands >> into.bandsSent;
    };
    const std::vector<std::string> resticBackup = {"/usr/bin/restic", "backup", "--quiet",    "--repo",
                                                   repo.string(),     pw,       data.string()};

    const Run ours1 = inChild(push(first));
    readResult(first);
    const Run restic1 = tool(resticBackup);
    const Run ours2 = inChild(push(second));
    readResult(second);
    const Run restic2 = tool(resticBackup);
    // Rewrite 1% of the files.
    const std::size_t changed = std::max<std::size_t>(1, files / 100);
    for (std::size_t i = 0; i < changed; ++i)
        writeRandom(data / "d" / ("f" + std::to_string(i * 97 % files)), fileBytes, rng);
    const Run ours3 = inChild(push(third));
    readResult(third);
    const Run restic3 = tool(resticBackup);

    fs::create_directories(root / "restored");
    std::string snapshot;
    const Run ours4 = inChild([&] {
        LocalFolderStore s(store);
        BandSync sync(s);
        sync.restore(sync.list().back().id, root / "restored", "Copy");
    });
    const Run restic4 = tool({"/usr/bin/restic", "restore", "--quiet", "latest", "--repo", repo.string(), pw,
                              "--target", (root / "restic-restored").string()});

    const bool ok =
        ours1.ok && ours2.ok && ours3.ok && ours4.ok && restic1.ok && restic2.ok && restic3.ok && restic4.ok;
    line("backup_push", ours1, restic1);
    std::printf("backup_push_unchanged_share: %.4f (ours %.0f ms of %.0f ms; restic %.0f ms of %.0f ms)\n",
                ours2.ms / ours1.ms, ours2.ms, ours1.ms, restic2.ms, restic1.ms);
    line("backup_push_unchanged", ours2, restic2);
    std::printf("backup_push_1pct_bands_sent: %.4f (%zu of %zu bands; %zu of %zu files rewritten)\n",
                static_cast<double>(third.bandsSent) / static_cast<double>(third.bands), third.bandsSent,
                third.bands, changed, files);
    line("backup_push_1pct", ours3, restic3);
    line("backup_restore", ours4, restic4);
    const long oursRss = std::max({ours1.maxRssKiB, ours2.maxRssKiB, ours3.maxRssKiB, ours4.maxRssKiB});
    const long resticRss =
        std::max({restic1.maxRssKiB, restic2.maxRssKiB, restic3.maxRssKiB, restic4.maxRssKiB});
    std::printf("backup_peak_rss_mib: %.1f (restic %.1f MiB; vault %zu MiB)\n", oursRss / 1024.0,
                resticRss / 1024.0, files * 5);
    std::error_code ec;
    fs::remove_all(root, ec);
    if (!ok) std::cerr << "backup_bench: an operation failed\n";
    return ok ? 0 : 1;
}
