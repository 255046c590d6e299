// The backup engine under faults: a push or a prune killed (SIGKILL) at a
// random moment, and a store whose disk fills up during a push. After each,
// the store must pass a full check and every earlier snapshot must restore
// byte for byte.
//
// The kills hit a forked copy of this process running the operation on the
// same store; HC_CRASH_KILLS sets the kills per operation (default 8),
// HC_CRASH_SEED the random seed (printed).
#include "backup/support/BackupFixture.h"
#include "support/TestSupport.h"

#include "vaultkit/backup/BandSync.h"
#include "vaultkit/backup/LocalFolderStore.h"
#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>

using namespace vaultkit;
using namespace backuptest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t MiB = SnapshotManifest::bandBytes;

class BandSyncFaults : public ::testing::Test {
protected:
    void SetUp() override {
        const char* k = std::getenv("HC_CRASH_KILLS");
        kills = k ? std::max(1, std::atoi(k)) : 8;
        const char* s = std::getenv("HC_CRASH_SEED");
        seed = s ? static_cast<unsigned>(std::strtoul(s, nullptr, 10))
                 : static_cast<unsigned>(Clock::now().time_since_epoch().count());
        rng.seed(seed);
        std::cerr << "HC_CRASH_SEED=" << seed << '\n';
        fs::create_directories(tmp / "home");
        fs::create_directories(tmp / "restored");
        vaultDir = makeVaultDir(tmp / "home", "Vault");
        data = vaultDir / "data.gocryptfs";
        for (int i = 0; i < 12; ++i)
            writeBytes(data / ("f" + std::to_string(i)),
                       randomBytes(MiB / 3 + i * 100'000, static_cast<unsigned>(i)));
    }

    // Runs `operation` in a forked child, kills it after `delay`, and says
    // whether it had ended by itself.
    bool runAndKill(const std::function<void()>& operation, std::chrono::microseconds delay) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            try {
                operation();
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        std::this_thread::sleep_for(delay);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status);
    }

    // The store passes a full check and each snapshot restores to its tree.
    void expectStoreWhole(const std::map<std::string, std::map<std::string, Item>>& trees,
                          const std::string& what) {
        const auto report = sync.check(true);
        EXPECT_TRUE(report.ok()) << what << ": " << report.damage.size() << " damaged";
        for (const auto& info : sync.list()) {
            const auto tree = trees.find(info.id);
            if (tree == trees.end()) continue; // the killed push finished: checked by the caller
            const std::string name = "R" + std::to_string(restores++);
            sync.restore(info.id, tmp / "restored", name);
            expectSameTree(treeOf(tmp / "restored" / ("." + name + ".hushcoffer")), tree->second);
            fs::remove_all(tmp / "restored" / ("." + name + ".hushcoffer"));
        }
    }

    vaulttest::TempDir tmp{"hc-backup-faults"};
    fs::path vaultDir, data;
    LocalFolderStore store{tmp / "store"};
    BandSync sync{store};
    int kills = 8;
    unsigned seed = 0;
    std::mt19937 rng;
    int restores = 0;
};

TEST_F(BandSyncFaults, APushKilledAtAnyMomentLeavesAWholeStore) {
    std::map<std::string, std::map<std::string, Item>> trees;
    const auto start = Clock::now();
    trees[sync.push(vaultDir, {}).snapshot] = treeOf(vaultDir);
    const auto pushTime = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);

    int finished = 0;
    for (int k = 0; k < kills; ++k) {
        // Each round changes a few files, so the push has bands to send.
        for (int i = 0; i < 3; ++i)
            patch(data / ("f" + std::to_string((k * 3 + i) % 12)), (k * 7919) % (MiB / 3),
                  randomBytes(5000, 1000 + k * 3 + i));
        const auto snapshotsBefore = sync.list().size();
        std::uniform_int_distribution<long> delay(0, pushTime.count() * 3 / 2);
        const bool ended =
            runAndKill([&] { sync.push(vaultDir, {}); }, std::chrono::microseconds(delay(rng)));
        const auto snapshots = sync.list();
        if (snapshots.size() > snapshotsBefore) {
            ++finished;
            trees[snapshots.back().id] = treeOf(vaultDir);
        } else {
            EXPECT_FALSE(ended) << "a push that ended wrote its snapshot";
        }
        expectStoreWhole(trees, "after kill " + std::to_string(k));
    }
    // And the store goes on working: the next push completes.
    trees[sync.push(vaultDir, {}).snapshot] = treeOf(vaultDir);
    expectStoreWhole(trees, "after a last push");
    std::cerr << kills << " kills during a push, " << finished << " after it had finished\n";
}

TEST_F(BandSyncFaults, APruneKilledAtAnyMomentLeavesAWholeStore) {
    std::map<std::string, std::map<std::string, Item>> trees;
    auto pushSome = [&](int count) {
        for (int i = 0; i < count; ++i) {
            writeBytes(data / ("extra" + std::to_string(i)),
                       randomBytes(MiB / 2, static_cast<unsigned>(rng())));
            trees[sync.push(vaultDir, {}).snapshot] = treeOf(vaultDir);
        }
    };
    BandSync::KeepRules rules;
    rules.last = 2;
    pushSome(5);
    auto start = Clock::now();
    sync.prune(rules);
    const auto pruneTime = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    for (auto it = trees.begin(); it != trees.end();)
        it = store.exists("snapshots/" + it->first + ".json") ? std::next(it) : trees.erase(it);

    for (int k = 0; k < kills; ++k) {
        pushSome(2);
        std::uniform_int_distribution<long> delay(0, std::max<long>(pruneTime.count() * 3 / 2, 2000));
        runAndKill([&] { sync.prune(rules); }, std::chrono::microseconds(delay(rng)));
        for (auto it = trees.begin(); it != trees.end();)
            it = store.exists("snapshots/" + it->first + ".json") ? std::next(it) : trees.erase(it);
        EXPECT_GE(trees.size(), 2u);
        expectStoreWhole(trees, "after kill " + std::to_string(k));
        // The killed prune's lease does not block the next push or prune.
        pushSome(1);
    }
    const auto last = sync.prune(rules);
    EXPECT_FALSE(last.bandsLeftForPush);
    EXPECT_EQ(last.kept.size(), 2u);
    for (auto it = trees.begin(); it != trees.end();)
        it = store.exists("snapshots/" + it->first + ".json") ? std::next(it) : trees.erase(it);
    expectStoreWhole(trees, "after a last prune");
    EXPECT_EQ(sync.check(false).unreferenced, 0u) << "the last prune removed what the killed ones left";
}

TEST_F(BandSyncFaults, AFullDiskDuringAPushGivesAClearErrorAndKeepsTheStore) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs for the store";
    const fs::path small = tmp / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=3m,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        fs::path p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{small};

    // A small vault fits; then it grows beyond the free space.
    fs::path smallVault = makeVaultDir(tmp / "home", "Small");
    writeBytes(smallVault / "data.gocryptfs/a", randomBytes(MiB, 77));
    LocalFolderStore smallStore(small / "store");
    BandSync smallSync(smallStore);
    const auto first = smallSync.push(smallVault, {});
    const auto firstTree = treeOf(smallVault);
    writeBytes(smallVault / "data.gocryptfs/b", randomBytes(3 * MiB, 78));

    try {
        smallSync.push(smallVault, {});
        FAIL() << "the push did not fail";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::io);
        EXPECT_NE(std::string(e.what()).find(std::strerror(ENOSPC)), std::string::npos) << e.what();
    }
    const auto list = smallSync.list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, first.snapshot);
    EXPECT_TRUE(smallSync.check(true).ok());
    EXPECT_TRUE(smallStore.list("locks/").empty()) << "the failed push gave up its lease";
    smallSync.restore(first.snapshot, tmp / "restored", "Small");
    expectSameTree(treeOf(tmp / "restored/.Small.hushcoffer"), firstTree);
}

} // namespace
