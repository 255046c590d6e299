// Checking the encrypted data of real images with gocryptfs -fsck, as an
// ordinary user: damage is named by the paths inside the vault, and the check
// changes nothing.
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/error/VaultError.h"

#include "support/ExpectVaultError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

using vaultkit::GocryptfsDiskImage;
using vaultkit::VaultError;
using vaulttest::readFile;
using vaulttest::TempDir;
using vaulttest::writeFile;
namespace fs = std::filesystem;

namespace {

// Every entry below `dir` with its size and, for files, content.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const auto rel = fs::relative(e.path(), dir).string();
        out[rel] = e.is_regular_file() ? readFile(e.path()) : std::string("<dir>");
    }
    return out;
}

class GocryptfsDataCheck : public ::testing::Test {
protected:
    void SetUp() override {
        driver_ = vaulttest::fastGocryptfs();
        fs::create_directory(tmp_ / "vault");
        image_ = vaulttest::makeImage(tmp_ / "vault", password_);
        mp_ = tmp_ / "Vault";
        fs::create_directory(mp_);
        driver_->attach(image_, password_, mp_);
        fs::create_directories(mp_ / "photos/2024");
        writeFile(mp_ / "notes.txt", "notes");
        writeFile(mp_ / "photos/2024/beach.jpg", std::string(20000, 'b'));
        writeFile(mp_ / "photos/2024/hill.jpg", "hill");
        writeFile(mp_ / "photos/cover.jpg", "cover");
        driver_->detach(mp_.string(), false);
    }
    // The encrypted folder of "photos/2024" and the encrypted file of
    // "photos/2024/beach.jpg" (the largest file in it).
    fs::path photos2024() {
        for (const auto& e : fs::recursive_directory_iterator(image_))
            if (e.is_directory() && fs::exists(e.path().parent_path() / "gocryptfs.diriv") &&
                e.path().parent_path() != image_)
                return e.path();
        throw std::runtime_error("no nested folder");
    }
    fs::path largestIn(const fs::path& dir) {
        fs::path best;
        std::uintmax_t size = 0;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file() && e.file_size() > size) {
                size = e.file_size();
                best = e.path();
            }
        return best;
    }

    TempDir tmp_{"hc-datacheck"};
    std::shared_ptr<GocryptfsDiskImage> driver_;
    std::string password_ = "correct horse";
    fs::path image_, mp_;
};

TEST_F(GocryptfsDataCheck, WholeImageHasNothingDamaged) {
    const auto before = snapshot(image_);
    const auto check = driver_->checkData(image_, password_);
    EXPECT_TRUE(check.whole());
    EXPECT_EQ(snapshot(image_), before);
}

TEST_F(GocryptfsDataCheck, FileCutShortIsNamedAndNothingChanges) {
    const fs::path beach = largestIn(photos2024());
    fs::resize_file(beach, 9000);
    const auto before = snapshot(image_);
    const auto check = driver_->checkData(image_, password_);
    EXPECT_EQ(check.damaged, std::vector<std::string>{"photos/2024/beach.jpg"});
    EXPECT_EQ(check.damagedCount, 1u);
    EXPECT_EQ(snapshot(image_), before);
}

TEST_F(GocryptfsDataCheck, FolderWithoutItsKeyIsNamed) {
    const fs::path key = photos2024() / "gocryptfs.diriv";
    fs::permissions(key, fs::perms::owner_all);
    fs::remove(key);
    const auto check = driver_->checkData(image_, password_);
    EXPECT_EQ(check.damaged, std::vector<std::string>{"photos/2024"});
    EXPECT_FALSE(check.whole());
}

TEST_F(GocryptfsDataCheck, WrongPasswordAndMountedImageAreRefused) {
    vaulttest::expectVaultError([&] { driver_->checkData(image_, "not the password"); },
                                VaultError::wrongPassword());
    driver_->attach(image_, password_, mp_);
    const auto mounted = vaulttest::vaultErrorOf([&] { driver_->checkData(image_, password_); });
    ASSERT_TRUE(mounted);
    EXPECT_EQ(mounted->kind(), VaultError::Case::hdiutil);
    EXPECT_EQ(readFile(mp_ / "notes.txt"), "notes");
    driver_->detach(mp_.string(), false);
}

} // namespace
