// Faults of the tools and of the surroundings: gocryptfs or fusermount3
// missing, not executable or hanging past the driver's time limit, the vault
// moved while unlocked, and two processes working on one vault at once. Each
// must end in a clear error, and the vault must still open with its password
// and phrase and hold its files.
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sys/stat.h>

using namespace vaultkit;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPassword = "tool faults password";

enum class Fault { missing, notExecutable, hanging };
enum class Tool { gocryptfs, fusermount };
enum class Operation { create, unlock, changePassword, lock };

struct Case {
    const char* name;
    Tool tool;
    Fault fault;
    Operation op;
};

const Case kCases[] = {
    {"gocryptfs missing, create", Tool::gocryptfs, Fault::missing, Operation::create},
    {"gocryptfs missing, unlock", Tool::gocryptfs, Fault::missing, Operation::unlock},
    {"gocryptfs not executable, unlock", Tool::gocryptfs, Fault::notExecutable, Operation::unlock},
    {"gocryptfs hanging, create", Tool::gocryptfs, Fault::hanging, Operation::create},
    {"gocryptfs hanging, unlock", Tool::gocryptfs, Fault::hanging, Operation::unlock},
    {"gocryptfs hanging, change password", Tool::gocryptfs, Fault::hanging, Operation::changePassword},
    {"gocryptfs not executable, change password", Tool::gocryptfs, Fault::notExecutable,
     Operation::changePassword},
    {"fusermount3 missing, lock", Tool::fusermount, Fault::missing, Operation::lock},
    {"fusermount3 not executable, lock", Tool::fusermount, Fault::notExecutable, Operation::lock},
    {"fusermount3 hanging, lock", Tool::fusermount, Fault::hanging, Operation::lock},
};

class ToolFaults : public ::testing::Test {
protected:
    void SetUp() override {
        DiskImage::setPlatformDefault(vaulttest::fastGocryptfs());
        Vault::setBackupDirectory(tmp_ / "support" / "backups");
        fs::create_directory(tmp_ / "tools");
        vaulttest::writeFile(tmp_ / "tools" / "plain-file", "not a program\n");
        ::chmod((tmp_ / "tools" / "plain-file").c_str(), 0644);
        vaulttest::writeFile(tmp_ / "tools" / "hangs", "#!/bin/sh\nexec sleep 60\n");
        ::chmod((tmp_ / "tools" / "hangs").c_str(), 0755);
    }
    void TearDown() override {
        vaulttest::unmountAllBelow(tmp_.path());
        DiskImage::setPlatformDefault(nullptr);
        Vault::setBackupDirectory(std::nullopt);
    }

    std::shared_ptr<DiskImage> faultyDriver(Tool tool, Fault fault) {
        GocryptfsDiskImage::Options o = vaulttest::fastGocryptfs()->options();
        const std::string path = fault == Fault::missing         ? (tmp_ / "tools" / "absent").string()
                                 : fault == Fault::notExecutable ? (tmp_ / "tools" / "plain-file").string()
                                                                 : (tmp_ / "tools" / "hangs").string();
        (tool == Tool::gocryptfs ? o.gocryptfs : o.fusermount) = path;
        o.createTimeout = o.attachTimeout = o.detachTimeout = o.checkPasswordTimeout =
            o.changePasswordTimeout = 1;
        o.daemonExitWait = 1;
        return std::make_shared<GocryptfsDiskImage>(o);
    }

    // The vault opens with the good driver, unlocks with the password, holds
    // its file, and the phrase still belongs to it.
    void expectIntact(const fs::path& dir, const Mnemonic& mnemonic) {
        auto vault = Vault::open(dir);
        if (vault->isUnlocked()) vault->lock(true);
        vault->unlock(kPassword);
        EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "kept.txt"), "kept");
        EXPECT_TRUE(vault->checkMnemonic(mnemonic.phrase()));
        vault->lock(false);
    }

    vaulttest::TempDir tmp_{"hc-tools"};
};

TEST_F(ToolFaults, EveryFaultIsAClearErrorAndLosesNothing) {
    const Mnemonic mnemonic = Mnemonic::generate();
    auto good = Vault::create(tmp_.path(), "Kept", kPassword, mnemonic);
    vaulttest::writeFile(good->mountPoint() / "kept.txt", "kept");
    good->lock(false);

    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        auto driver = faultyDriver(c.tool, c.fault);
        auto vault = Vault::open(good->dir(), driver);
        if (c.op == Operation::lock) good->unlock(kPassword);
        const auto start = Clock::now();
        std::string error;
        try {
            switch (c.op) {
            case Operation::create:
                Vault::create(tmp_.path(), "Fresh", kPassword, Mnemonic::generate(), {}, driver);
                break;
            case Operation::unlock:
                vault->unlock(kPassword);
                break;
            case Operation::changePassword:
                vault->changePassword(kPassword, "never set password");
                break;
            case Operation::lock:
                vault->lock(false);
                break;
            }
            ADD_FAILURE() << "succeeded with a broken tool";
        } catch (const VaultError& e) {
            error = e.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not a vault error: " << e.what();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_FALSE(error.empty());
        // Bounded by the time limits (three detach attempts with pauses for a
        // lock), not by the tool.
        EXPECT_LT(seconds, 15) << error;
        std::error_code ec;
        EXPECT_FALSE(fs::exists(tmp_ / ".Fresh.hushcoffer", ec)) << "failed create left its directory";
        if (c.op == Operation::lock) {
            EXPECT_TRUE(good->isUnlocked()) << "a lock that failed unmounted anyway";
            EXPECT_EQ(vaulttest::readFile(good->mountPoint() / "kept.txt"), "kept");
        }
        expectIntact(good->dir(), mnemonic);
    }
}

TEST_F(ToolFaults, VaultMovedWhileUnlockedIsNeverReportedLocked) {
    const Mnemonic mnemonic = Mnemonic::generate();
    fs::create_directory(tmp_ / "before");
    auto vault = Vault::create(tmp_ / "before", "Moving", kPassword, mnemonic);
    vaulttest::writeFile(vault->mountPoint() / "kept.txt", "kept");
    // The user renames the folder that holds both parts while it is open.
    fs::rename(tmp_ / "before", tmp_ / "after");
    const fs::path movedDir = tmp_ / "after" / ".Moving.hushcoffer";
    // The object still points at the old place: locking there must not claim
    // success while the volume stays mounted at the new one.
    bool claimedLocked = false;
    try {
        vault->lock(false);
        claimedLocked = true;
    } catch (const std::exception&) {
    }
    auto moved = Vault::open(movedDir);
    if (claimedLocked) {
        EXPECT_FALSE(moved->isUnlocked()) << "lock reported success, volume still mounted";
    }
    // At its new place the vault is found unlocked and locks normally.
    if (moved->isUnlocked()) moved->lock(false);
    EXPECT_FALSE(moved->isUnlocked());
    expectIntact(movedDir, mnemonic);
}

TEST_F(ToolFaults, TwoProcessesUnlockingTheSameVaultAtOnce) {
    const Mnemonic mnemonic = Mnemonic::generate();
    auto vault = Vault::create(tmp_.path(), "Shared", kPassword, mnemonic);
    vaulttest::writeFile(vault->mountPoint() / "kept.txt", "kept");
    vault->lock(false);
    // Two processes (this program as a child, see CrashConsistency_test.cpp)
    // unlock the same vault at once, several rounds. One of them succeeds,
    // the other succeeds too or fails with an error; the vault is never
    // mounted twice and never damaged. (The race is narrow: a few rounds
    // give it a fair chance to show.)
    for (int round = 0; round < 8; ++round) {
        auto a = std::async(std::launch::async, [&] {
            return Exec::runSync(
                "/proc/self/exe",
                {"--child", "unlock", (tmp_ / "support" / "backups").string(), vault->dir().string()},
                Bytes(kPassword.begin(), kPassword.end()), 60);
        });
        auto b = std::async(std::launch::async, [&] {
            return Exec::runSync(
                "/proc/self/exe",
                {"--child", "unlock", (tmp_ / "support" / "backups").string(), vault->dir().string()},
                Bytes(kPassword.begin(), kPassword.end()), 60);
        });
        const ExecResult ra = a.get(), rb = b.get();
        EXPECT_TRUE(ra.status == 0 || rb.status == 0) << ra.stderrText << rb.stderrText;
        int mounts = 0;
        for (const auto& e : MountTable::read())
            if (e.mountPoint == vault->mountPoint().string()) ++mounts;
        EXPECT_EQ(mounts, 1) << "mounted " << mounts << " times; exit " << ra.status << ": " << ra.stderrText
                             << "; exit " << rb.status << ": " << rb.stderrText;
        vault->lock(true);
    }
    expectIntact(vault->dir(), mnemonic);
}

} // namespace
