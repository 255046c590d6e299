// The Encrypted Data card's mount mode: what it is, why, the user's choice
// and which sync client carries the vault. The vaults sit on the in-memory
// driver.
#include "app/model/AppModel.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "support/PaneFixture.h"
#include "support/Spin.h"
#include "vaultkit/record/VaultPreferences.h"
#include "vaultkit/vault/Vault.h"

#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/xattr.h>

namespace fs = std::filesystem;
using vaultkit::DiskImage;
using vaultkit::MountModePolicy;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

class DataCardTest : public uitest::PaneTest {
protected:
    static void choose(QComboBox* picker, MountModePolicy::Choice choice) {
        const int index = picker->findData(static_cast<int>(choice));
        ASSERT_GE(index, 0);
        picker->setCurrentIndex(index);
        emit picker->activated(index);
    }
};

} // namespace

// The card says which mode the next unlock uses and why; a choice made there
// is kept in this computer's vault settings and used by the next unlock.
TEST_F(DataCardTest, TheCardTellsTheModeAndTheChoiceReachesTheNextUnlock) {
    auto plain = addVault("Plain");
    auto synced = addVault("Synced", "Dropbox/Work");
    {
        std::FILE* f = std::fopen((dir.path().toStdString() + "/Dropbox/.dropbox").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }

    VaultDetail plainPane(model.get(), plain);
    plainPane.show();
    EXPECT_EQ(uitest::named<QComboBox>(&plainPane, "mountMode")->currentData().toInt(),
              static_cast<int>(MountModePolicy::Choice::automatic));
    EXPECT_EQ(uitest::named<QLabel>(&plainPane, "mountModeWhy")->text(), kx("mountMode.why.local"));
    VaultDetail syncedPane(model.get(), synced);
    syncedPane.show();
    EXPECT_NE(uitest::named<QLabel>(&syncedPane, "mountModeWhy")->text().indexOf(QStringLiteral("Dropbox")),
              -1)
        << uitest::named<QLabel>(&syncedPane, "mountModeWhy")->text().toStdString();

    ASSERT_TRUE(unlockNow(plain));
    EXPECT_EQ(driver->lastMode(), DiskImage::MountMode::local);
    ASSERT_TRUE(unlockNow(synced));
    EXPECT_EQ(driver->lastMode(), DiskImage::MountMode::shared);

    choose(uitest::named<QComboBox>(&plainPane, "mountMode"), MountModePolicy::Choice::shared);
    uitest::spinUntil([&] {
        return uitest::named<QLabel>(&plainPane, "mountModeWhy")
            ->text()
            .startsWith(kx("mountMode.why.chosenShared"));
    });
    EXPECT_EQ(uitest::named<QLabel>(&plainPane, "mountModeWhy")->text(),
              kx("mountMode.why.chosenShared") + QLatin1Char(' ') + kx("mountMode.nextUnlock"))
        << "unlocked: the change waits for the next unlock";
    EXPECT_EQ(vaultkit::VaultPreferences(dir.filePath(QStringLiteral("support")).toStdString())
                  .text(plain->config().id.text(), "mountMode"),
              "shared");
    ASSERT_TRUE(lockNow(plain));
    ASSERT_TRUE(unlockNow(plain));
    EXPECT_EQ(driver->lastMode(), DiskImage::MountMode::shared);

    choose(uitest::named<QComboBox>(&syncedPane, "mountMode"), MountModePolicy::Choice::local);
    uitest::spinUntil([&] {
        return uitest::named<QLabel>(&syncedPane, "mountModeWhy")
                   ->text()
                   .contains(QStringLiteral("Dropbox")) &&
               uitest::named<QComboBox>(&syncedPane, "mountMode")->currentData().toInt() ==
                   static_cast<int>(MountModePolicy::Choice::local);
    });
    ASSERT_TRUE(lockNow(synced));
    ASSERT_TRUE(unlockNow(synced));
    EXPECT_EQ(driver->lastMode(), DiskImage::MountMode::local);

    // Forgetting the vault takes its settings away.
    model->forget(plain);
    EXPECT_EQ(vaultkit::VaultPreferences(dir.filePath(QStringLiteral("support")).toStdString())
                  .value(plain->config().id.text(), "mountMode"),
              std::nullopt);
}

// Below the mode, the card says which sync client carries the vault and
// whether its visible folder is left out: a Dropbox folder gets the ignore
// attribute at the unlock and says so; an Insync folder cannot be excluded,
// says so, and is not unlocked there.
TEST_F(DataCardTest, TheCardTellsWhichClientSyncsTheVaultAndWhetherItIsLeftOut) {
    auto dropbox = addVault("Notes", "Dropbox/Work");
    fs::create_directories(fs::path(dir.path().toStdString()) / "Dropbox/.dropbox.cache");
    auto insync = addVault("Diary", "Insync/Home");
    fs::create_directories(fs::path(dir.path().toStdString()) / "Insync/.insync-trash");

    VaultDetail dropboxPane(model.get(), dropbox);
    dropboxPane.show();
    const std::string root = fs::path(dir.path().toStdString()).string();
    const QString pending = kx("sync.pending", std::string("Dropbox"), root + "/Dropbox");
    EXPECT_TRUE(
        uitest::named<QLabel>(&dropboxPane, "mountModeWhy")->text().endsWith(QLatin1Char('\n') + pending))
        << uitest::named<QLabel>(&dropboxPane, "mountModeWhy")->text().toStdString();

    ASSERT_TRUE(unlockNow(dropbox));
    model->bump();
    char value[4] = {};
    EXPECT_EQ(::getxattr(dropbox->mountPoint().c_str(), "user.com.dropbox.ignored", value, sizeof value), 1);
    const QString excluded =
        kx("sync.excluded", std::string("Dropbox"), root + "/Dropbox", dropbox->mountPoint().string());
    EXPECT_TRUE(uitest::spinUntil([&] {
        return uitest::named<QLabel>(&dropboxPane, "mountModeWhy")->text().endsWith(excluded);
    })) << uitest::named<QLabel>(&dropboxPane, "mountModeWhy")->text().toStdString();

    VaultDetail insyncPane(model.get(), insync);
    insyncPane.show();
    const QString cannot = kx("sync.cannotExclude", std::string("Insync"), root + "/Insync");
    EXPECT_TRUE(uitest::named<QLabel>(&insyncPane, "mountModeWhy")->text().endsWith(cannot))
        << uitest::named<QLabel>(&insyncPane, "mountModeWhy")->text().toStdString();
    // Unlocked, it opens outside the synced folder: nothing is mounted where
    // it would be uploaded, and the card says where it is open first.
    ASSERT_TRUE(unlockNow(insync));
    EXPECT_TRUE(model->isUnlocked(insync));
    const fs::path open = insync->openFolder();
    EXPECT_NE(open, insync->mountPoint());
    EXPECT_NE(open.string().rfind(root + "/", 0), 0u) << open << " lies inside the synced tree";
    model->bump();
    const QString openText = QString::fromStdString(open.string());
    EXPECT_TRUE(uitest::spinUntil([&] {
        return uitest::named<QLabel>(&insyncPane, "mountModeWhy")->text().contains(openText);
    })) << uitest::named<QLabel>(&insyncPane, "mountModeWhy")->text().toStdString();
}
