// A full disk under the vault directory: the test mounts a small tmpfs (so it
// needs root; it is skipped otherwise) and fills it before saving a record,
// creating a vault and importing into one. Each must fail with a clear error,
// corrupt nothing, and leave the old record loadable and the vault working
// once space is freed.
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/record/VaultConfig.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "disk full password";

class DiskFull : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs for the vault directory";
        small_ = tmp_ / "small";
        fs::create_directory(small_);
        if (::mount("tmpfs", small_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=6m,mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted_ = true;
        DiskImage::setPlatformDefault(vaulttest::fastGocryptfs());
        Vault::setBackupDirectory(tmp_ / "support" / "backups");
    }
    void TearDown() override {
        if (!mounted_) return;
        vaulttest::unmountAllBelow(small_);
        ::umount2(small_.c_str(), MNT_DETACH);
        DiskImage::setPlatformDefault(nullptr);
        Vault::setBackupDirectory(std::nullopt);
    }

    std::uint64_t freeBytes() const {
        struct statvfs s {};
        ::statvfs(small_.c_str(), &s);
        return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
    }

    // Fills the small file system until `leave` bytes are free (rounded to
    // its block size).
    void fill(std::uint64_t leave) {
        const int fd = ::open((small_ / ("filler" + std::to_string(fillers_++))).c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'F');
        while (freeBytes() > leave + block.size())
            if (::write(fd, block.data(), block.size()) < 0) break;
        // Nothing left: down to the last byte, until the file system refuses.
        if (leave == 0)
            while (::write(fd, block.data(), 1) == 1) {
            }
        ::close(fd);
    }
    void freeSpace() {
        for (int i = 0; i < fillers_; ++i)
            fs::remove(small_ / ("filler" + std::to_string(i)));
    }

    std::shared_ptr<Vault> makeVault(const std::string& name, Mnemonic& mnemonic) {
        mnemonic = Mnemonic::generate();
        auto vault = Vault::create(small_, name, kPassword, mnemonic);
        vaulttest::writeFile(vault->mountPoint() / "kept.txt", "written before the disk filled up");
        return vault;
    }

    // The vault loads, unlocks with its password and still holds kept.txt.
    void expectIntact(const fs::path& dir, const Mnemonic& mnemonic) {
        auto vault = Vault::open(dir);
        if (vault->isUnlocked()) vault->lock(true);
        vault->unlock(kPassword);
        EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "kept.txt"), "written before the disk filled up");
        EXPECT_TRUE(vault->checkMnemonic(mnemonic.phrase()));
        vault->lock(false);
    }

    vaulttest::TempDir tmp_{"hc-full"};
    fs::path small_;
    bool mounted_ = false;
    int fillers_ = 0;
};

TEST_F(DiskFull, SavingARecordFailsClearlyAndKeepsTheOldOne) {
    Mnemonic mnemonic = Mnemonic::generate();
    auto vault = makeVault("Save", mnemonic);
    vault->lock(false);
    const VaultConfig before = vault->config();
    fill(0);
    VaultConfig::AutoLock a;
    a.idleMinutes = 15;
    try {
        vault->setAutoLock(a);
        ADD_FAILURE() << "saving on a full disk reported success";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::io) << e.what();
        EXPECT_NE(std::string(e.what()).find("No space left"), std::string::npos) << e.what();
    }
    EXPECT_EQ(vault->config(), before) << "the failed change stays in memory";
    EXPECT_EQ(Vault::open(vault->dir())->config(), before);
    // No temporary files are left taking space or looking like records.
    for (const auto& entry : fs::directory_iterator(vault->dir()))
        EXPECT_TRUE(entry.path().filename() == "vault.json" || entry.path().filename() == "vault.json.bak" ||
                    entry.path().filename() == "README.txt" || entry.path().filename() == "data.gocryptfs")
            << "left behind: " << entry.path();
    freeSpace();
    expectIntact(vault->dir(), mnemonic);
    vault->setAutoLock(a);
    EXPECT_EQ(Vault::open(vault->dir())->config().autoLock.idleMinutes, 15);
}

TEST_F(DiskFull, CreatingFailsClearlyAndLeavesNothingBehind) {
    Mnemonic mnemonic = Mnemonic::generate();
    auto other = makeVault("Other", mnemonic);
    other->lock(false);
    // Different amounts of free space make different steps fail: the image,
    // the record, the README or the marker.
    for (std::uint64_t leave = 0; leave <= (24 << 10); leave += 4 << 10) {
        SCOPED_TRACE("free bytes: " + std::to_string(leave));
        fill(leave);
        bool created = false;
        std::string error;
        try {
            Vault::create(small_, "New", kPassword, Mnemonic::generate());
            created = true;
        } catch (const VaultError& e) {
            error = e.what();
            EXPECT_NE(error.find("space"), std::string::npos) << error;
        } catch (const std::system_error& e) {
            error = e.what();
            EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
        }
        std::error_code ec;
        std::cout << "[ free " << leave << " ] " << (created ? "created" : "refused: " + error) << '\n';
        if (created) {
            // Enough room after all: then it must be a working vault.
            auto v = Vault::open(small_ / ".New.hushcoffer");
            v->lock(true);
            v->confirm(kPassword);
            v->unlock(kPassword);
            v->lock(true);
            fs::permissions(small_ / "New", fs::perms::owner_all, ec);
            fs::remove_all(small_ / ".New.hushcoffer");
            fs::remove_all(small_ / "New");
        } else {
            EXPECT_FALSE(fs::exists(small_ / ".New.hushcoffer", ec)) << "vault directory left behind";
            EXPECT_FALSE(fs::exists(small_ / "New", ec)) << "visible folder left behind";
        }
        freeSpace();
    }
    expectIntact(other->dir(), mnemonic);
}

TEST_F(DiskFull, ImportingReportsTheProblemAndKeepsTheVault) {
    Mnemonic mnemonic = Mnemonic::generate();
    auto vault = makeVault("Import", mnemonic);
    const fs::path src = tmp_ / "outside";
    fs::create_directories(src);
    vaulttest::writeFile(src / "large.bin", std::string(8 << 20, 'L'));
    vaulttest::writeFile(src / "small.txt", "fits");
    fill(64 << 10);
    const auto results = Importer::copy({src / "large.bin"}, *vault);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].ok()) << "a copy that did not fit was reported complete";
    if (!results[0].problems.empty()) {
        EXPECT_NE(results[0].problems[0].find("No space left"), std::string::npos) << results[0].problems[0];
    }
    EXPECT_EQ(vaulttest::readFile(src / "large.bin").size(), 8u << 20) << "the source was touched";
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "kept.txt"), "written before the disk filled up");
    // The record was not touched; with space again the vault works.
    freeSpace();
    fs::remove(results[0].destination);
    const auto again = Importer::copy({src / "small.txt"}, *vault);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(again[0].ok());
    vault->lock(false);
    expectIntact(vault->dir(), mnemonic);
}

} // namespace
