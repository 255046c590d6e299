// The folder look around real lock and unlock (gocryptfs over FUSE), as an
// ordinary user, read back the way Dolphin and GNOME Files read it.
#include "app/desktop/FolderLook.h"
#include "support/FolderLookProbe.h"
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace folderlookprobe;

namespace {

const std::string kPassword = "correct horse battery";

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class FolderLookMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        parent = tmp / "home";
        fs::create_directory(parent);
        FolderLook::setSupportDirectory(QString::fromStdString((tmp / "support").string()));
        vault = vaultkit::Vault::create(parent, "Vault", kPassword, vaultkit::Mnemonic::generate(), {},
                                        vaulttest::fastGocryptfs());
        folder = QString::fromStdString(vault->mountPoint().string());
        icon = QString::fromStdString((tmp / "support" / FolderLook::iconFileName).string());
    }
    void TearDown() override {
        if (vault && vault->isUnlocked()) {
            try {
                vault->lock(true);
            } catch (...) {
            }
        }
        FolderLook::setSupportDirectory({});
    }

    vaulttest::TempDir tmp{"hc-look"};
    fs::path parent;
    std::shared_ptr<vaultkit::Vault> vault;
    QString folder, icon;
};

TEST_F(FolderLookMountTest, LockedLookOnLockAndOnlyTheIconResetOnUnlock) {
    LogCapture log;
    const QString uri = QUrl::fromLocalFile(icon).toString(QUrl::FullyEncoded);

    // unlocked (just created): the locked look does nothing to the volume
    ASSERT_TRUE(vault->isUnlocked());
    const auto volumeBefore = listing(vault->mountPoint());
    const int rootMode = modeOf(folder);
    FolderLook::applyLocked(*vault);
    EXPECT_EQ(listing(vault->mountPoint()), volumeBefore);
    EXPECT_EQ(modeOf(folder), rootMode);
    EXPECT_EQ(gioCustomIcon(folder), std::nullopt);

    // lock: both file managers' icons, read-only, no launcher from a test binary
    vault->lock(false);
    FolderLook::applyLocked(*vault);
    EXPECT_EQ(directoryIcon(folder), icon);
    EXPECT_EQ(gioCustomIcon(folder), uri);
    EXPECT_EQ(modeOf(folder), 0555);
    EXPECT_TRUE(launcherLinks(folder).empty());

    // unlock: the look's files stay on the folder underneath; the open volume
    // shows no locked icon to either file manager
    vault->unlock(kPassword);
    ASSERT_TRUE(vault->isUnlocked());
    FolderLook::refresh(*vault);
    EXPECT_EQ(gioCustomIcon(folder), std::nullopt);
    EXPECT_EQ(directoryIcon(folder), std::nullopt);
    EXPECT_EQ(listing(vault->mountPoint()), volumeBefore); // nothing written into the volume
    EXPECT_EQ(modeOf(folder), rootMode);

    // lock again: the locked look comes back, the same as the first time
    vault->lock(false);
    FolderLook::refresh(*vault);
    EXPECT_EQ(directoryIcon(folder), icon);
    EXPECT_EQ(gioCustomIcon(folder), uri);
    EXPECT_EQ(modeOf(folder), 0555);
    // and the folder still counts as empty for the next unlock
    EXPECT_TRUE(vaultkit::Vault::visibleItems(vault->mountPoint()).empty());
    vault->unlock(kPassword);
    EXPECT_TRUE(vault->isUnlocked());

    EXPECT_TRUE(log.errors().empty()) << ::testing::PrintToString(log.errors());
}

TEST_F(FolderLookMountTest, RemovedVisibleFolderOfALockedVaultIsLeftAlone) {
    vault->lock(false);
    ::chmod(vault->mountPoint().c_str(), 0755);
    fs::remove(vault->mountPoint());
    FolderLook::refresh(*vault);
    EXPECT_FALSE(fs::exists(vault->mountPoint()));
    // the vault still unlocks (it makes its folder itself)
    vault->unlock(kPassword);
    EXPECT_TRUE(vault->isUnlocked());
}

} // namespace
