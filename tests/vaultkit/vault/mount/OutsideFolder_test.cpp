// A vault whose visible folder no sync client covering it can be told to
// leave out opens outside the synced folder, against real gocryptfs mounts.
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/vault/OutsideFolder.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "correct horse battery";

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

bool mountedAt(const fs::path& p) {
    for (const auto& e : MountTable::read())
        if (e.mountPoint == p.string()) return true;
    return false;
}

pid_t daemonAt(const fs::path& p) {
    for (const auto& e : MountTable::read())
        if (e.mountPoint == p.string()) {
            const auto pids = GocryptfsDiskImage::daemonsServing(e);
            if (pids.size() == 1) return pids[0];
        }
    return -1;
}

class OutsideMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver = vaulttest::fastGocryptfs();
        DiskImage::setPlatformDefault(driver);
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
            if (const char* v = std::getenv(name)) saved.emplace_back(name, v);
        fs::create_directories(tmp / "home" / ".config");
        fs::create_directories(tmp / "run");
        ::setenv("HOME", (tmp / "home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (tmp / "run").c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        root = tmp / "synced";
        fs::create_directories(root / "Documents");
    }
    void TearDown() override {
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
            ::unsetenv(name);
        for (const auto& [name, value] : saved)
            ::setenv(name.c_str(), value.c_str(), 1);
        DiskImage::setPlatformDefault(nullptr);
    }

    // A locked vault in root/Documents, made while nothing synced the folder.
    std::shared_ptr<Vault> lockedVault(const std::string& name = "Notes") {
        auto vault = Vault::create(root / "Documents", name, kPassword, Mnemonic::generate(), {}, driver);
        vault->lock(false);
        return vault;
    }

    vaulttest::TempDir tmp{"hc-outside"};
    std::shared_ptr<GocryptfsDiskImage> driver;
    std::vector<std::pair<std::string, std::string>> saved;
    fs::path root;
};

} // namespace

// Each way an exclusion can be missing: the client offers none (Insync), its
// configuration is not found (a Nextcloud journal alone), its ignore file
// cannot be written (Syncthing's .stignore unwritable).
TEST_F(OutsideMountTest, NoExclusionOpensOutsideAndLeavesTheVisibleFolderLocked) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> makeSynced;
    };
    const std::vector<Case> cases = {
        {"Insync", [](const fs::path& r) { fs::create_directories(r / ".insync-trash"); }},
        {"Nextcloud journal without its client's configuration",
         [](const fs::path& r) { vaulttest::writeFile(r / "._sync_0a1b2c.db", ""); }},
        {"Syncthing with an ignore file that cannot be written",
         [](const fs::path& r) {
             fs::create_directories(r / ".stfolder");
             fs::create_directories(r / ".stignore"); // neither read nor replaced
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        fs::create_directories(root / "Documents");
        auto vault = lockedVault();
        const fs::path visible = vault->mountPoint();
        const auto lookBefore = entries(visible);
        c.makeSynced(root);

        vault->unlock(kPassword);
        const fs::path outside = vault->outsideFolder();
        EXPECT_EQ(outside.parent_path(), tmp / "run" / "hushcoffer" / "vaults");
        EXPECT_TRUE(mountedAt(outside));
        EXPECT_FALSE(mountedAt(visible)) << "nothing decrypted inside the synced tree";
        EXPECT_EQ(vault->openFolder(), outside);
        EXPECT_TRUE(vault->isUnlocked());
        EXPECT_EQ(vault->mountState(), DiskImage::MountState::mounted);
        EXPECT_EQ(Vault::mountStates({vault}), std::vector<DiskImage::MountState>{DiskImage::MountState::mounted});
        EXPECT_EQ(modeOf(visible), 0555u) << "the visible folder stays read-only";
        EXPECT_EQ(entries(visible), lookBefore) << "nothing written into the visible folder";
        EXPECT_TRUE(fs::exists(outside / Vault::markerName)) << "the volume itself is there";
        const auto why = SyncExclusion::elsewhere(SyncExclusion::inspect(visible), outside);
        EXPECT_EQ(why.key, "unlock.elsewhere");
        EXPECT_EQ(why.args.at(0), outside.string());

        vaulttest::writeFile(outside / "secret.txt", "secret plan");
        EXPECT_NO_THROW(vault->unlock("not checked")) << "unlocked: returns at once";
        vault->lock(false);
        EXPECT_FALSE(fs::exists(outside)) << "the empty folder goes with the lock";
        EXPECT_EQ(vault->mountState(), DiskImage::MountState::notMounted);
        EXPECT_EQ(vault->openFolder(), visible);
        EXPECT_EQ(modeOf(visible), 0555u);
        EXPECT_EQ(entries(visible), lookBefore);

        vault->unlock(kPassword);
        EXPECT_EQ(vaulttest::readFile(outside / "secret.txt"), "secret plan");
        vault->lock(false);
    }
}

// The next unlock after the client went away (or its exclusion works again)
// mounts on the visible folder as always, and a folder left outside goes.
TEST_F(OutsideMountTest, AWorkingExclusionMountsOnTheVisibleFolderAgain) {
    auto vault = lockedVault();
    fs::create_directories(root / ".insync-trash");
    vault->unlock(kPassword);
    const fs::path outside = vault->outsideFolder();
    ASSERT_TRUE(mountedAt(outside));
    vault->lock(false);
    fs::create_directory(outside); // as a crash would leave it

    fs::remove_all(root / ".insync-trash");
    fs::create_directories(root / ".stfolder");
    vault->unlock(kPassword);
    EXPECT_TRUE(mountedAt(vault->mountPoint()));
    EXPECT_EQ(vault->openFolder(), vault->mountPoint());
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_TRUE(SyncExclusion::inspect(vault->mountPoint()).allInForce());
    vault->lock(false);
}

// A daemon killed while the vault was open outside leaves a dead mount there:
// the state says stale, the next unlock clears it and mounts at the same
// place; a leftover folder that holds files is refused, not emptied.
TEST_F(OutsideMountTest, AKilledDaemonOutsideIsClearedAndALeftoverWithFilesIsKept) {
    auto vault = lockedVault();
    fs::create_directories(root / ".insync-trash");
    vault->unlock(kPassword);
    const fs::path outside = vault->outsideFolder();
    vaulttest::writeFile(outside / "keep.txt", "intact");
    const pid_t daemon = daemonAt(outside);
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);
    ASSERT_TRUE(vaulttest::waitUntil([&] { return vault->mountState() != DiskImage::MountState::mounted; }, 5));
    EXPECT_EQ(vault->mountState(), DiskImage::MountState::stale);

    vault->unlock(kPassword);
    EXPECT_EQ(vault->mountState(), DiskImage::MountState::mounted);
    EXPECT_EQ(vault->openFolder(), outside);
    EXPECT_EQ(vaulttest::readFile(outside / "keep.txt"), "intact");
    const auto table = MountTable::read();
    EXPECT_EQ(std::count_if(table.begin(), table.end(),
                            [&](const MountEntry& e) { return e.mountPoint == outside.string(); }),
              1)
        << "the dead mount is gone, not stacked under the new one";
    vault->lock(false);

    fs::create_directory(outside);
    vaulttest::writeFile(outside / "stray.txt", "not ours to delete");
    EXPECT_THROW(vault->unlock(kPassword), VaultError);
    EXPECT_FALSE(vault->isUnlocked());
    EXPECT_FALSE(mountedAt(vault->mountPoint()));
    EXPECT_EQ(vaulttest::readFile(outside / "stray.txt"), "not ours to delete");
    fs::remove(outside / "stray.txt");
    vault->unlock(kPassword);
    EXPECT_EQ(vault->openFolder(), outside);
    vault->lock(false);
}

// Two vaults of one name in two folders the client cannot be kept out of
// open side by side.
TEST_F(OutsideMountTest, TwoVaultsOfOneNameOpenInTwoPlaces) {
    auto first = lockedVault();
    fs::create_directories(root / "Other");
    auto second = Vault::create(root / "Other", "Notes", kPassword, Mnemonic::generate(), {}, driver);
    second->lock(false);
    fs::create_directories(root / ".insync-trash");
    first->unlock(kPassword);
    second->unlock(kPassword);
    EXPECT_NE(first->openFolder(), second->openFolder());
    EXPECT_TRUE(mountedAt(first->outsideFolder()));
    EXPECT_TRUE(mountedAt(second->outsideFolder()));
    first->lock(false);
    EXPECT_TRUE(second->isUnlocked());
    second->lock(false);
}
