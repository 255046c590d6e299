// Conflict copies in a real vault (gocryptfs over FUSE, as an ordinary user):
// the copies sync clients leave in the encrypted folder get a visible
// "(Conflict N)" name while the vault is unlocked, and a banner and a notice
// name the folder to look in.
#include "app/desktop/FolderLook.h"
#include "app/desktop/Notifier.h"
#include "app/model/AppModel.h"
#include "app/model/ConflictWatch.h"
#include "app/model/Notices.h"
#include "model/support/ModelTestSupport.h"

#include "kxui/kx.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/diskimage/GocryptfsControlSocket.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace fs = std::filesystem;
using modeltest::spinUntil;
using vaultkit::Vault;

namespace {

const std::string kPassword = "right password 1";

// Notices as the desktop would get them.
class RecordingNotifier final : public Notifier {
public:
    explicit RecordingNotifier(QStringList* shown)
        : shown_(shown) {}
    void show(const QString& title, const QString& body, const QString&) override {
        *shown_ << title + ": " + body;
    }

private:
    QStringList* shown_;
};

class ConflictWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        driver = vaulttest::fastGocryptfs();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()));
        vault = Vault::create(tmp.path(), "Papers", kPassword, vaultkit::Mnemonic::generate(), {}, driver);
        model->registerVault(vault);
    }
    void TearDown() override {
        for (const auto& v : model->vaults())
            if (v->isUnlocked()) await([&](AppModel::Done d) { model->lock(v, true, d); });
        model.reset();
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
    }
    bool await(const std::function<void(AppModel::Done)>& action, double seconds = 60) {
        std::optional<bool> result;
        action([&](bool ok) { result = ok; });
        EXPECT_TRUE(spinUntil([&] { return result.has_value(); }, seconds));
        return result.value_or(false);
    }
    // The encrypted file of a plain path of the unlocked vault.
    fs::path cipherOf(const std::string& plain) {
        const auto c =
            vaultkit::GocryptfsControlSocket(driver->controlSocket(vault->image())).encryptPath(plain);
        if (!c) throw std::runtime_error("no cipher name");
        return vault->image() / *c;
    }

    vaulttest::TempDir tmp{"hc-conflicts"};
    fs::path support;
    std::shared_ptr<vaultkit::GocryptfsDiskImage> driver;
    QStringList notices; // outlives the model, which may still post one while it goes
    std::unique_ptr<AppModel> model;
    AppModel::VaultPtr vault;
};

TEST_F(ConflictWatchTest, ConflictCopiesAreMadeVisibleAndTheBannerNamesTheFolder) {
    const fs::path mp = vault->mountPoint();
    fs::create_directories(mp / "docs");
    vaulttest::writeFile(mp / "docs/plan.txt", "mine");
    vaulttest::writeFile(mp / "donor", "theirs");
    model->notices().setNotifier(std::make_unique<RecordingNotifier>(&notices));
    const fs::path original = cipherOf("docs/plan.txt");
    fs::rename(cipherOf("donor"), original.string() + " (Bob's conflicted copy 2024-05-01)");
    model->conflicts().watchConflicts(); // what every refresh tick does
    EXPECT_TRUE(model->conflicts().watchesConflicts(vault));
    ASSERT_TRUE(spinUntil([&] { return fs::exists(mp / "docs/plan (Conflict 1).txt"); }, 60));
    EXPECT_EQ(vaulttest::readFile(mp / "docs/plan (Conflict 1).txt"), "theirs");
    const QString expected =
        kx("conflicts.found", QStringLiteral("Papers"), kx("conflicts.folder", QStringLiteral("docs")));
    ASSERT_TRUE(spinUntil([&] { return model->message() && model->message()->text == expected; }, 30));
    EXPECT_FALSE(model->message()->isError);
    // and outside the window, where the user hears of it with the window closed
    EXPECT_EQ(notices, QStringList{QStringLiteral("Papers: ") + expected});

    // Locked: no watcher. Unlocked again: copies made meanwhile show too.
    ASSERT_TRUE(await([&](AppModel::Done d) { model->lock(vault, false, d); }));
    model->conflicts().watchConflicts();
    EXPECT_FALSE(model->conflicts().watchesConflicts(vault));
    ASSERT_TRUE(await([&](AppModel::Done d) { model->unlock(vault, QString::fromStdString(kPassword), d); }));
    vaulttest::writeFile(mp / "donor2", "theirs again");
    fs::rename(cipherOf("donor2"), original.string() + ".sync-conflict-20240501-101010-ABCDEFG");
    model->conflicts().watchConflicts();
    ASSERT_TRUE(spinUntil([&] { return fs::exists(mp / "docs/plan (Conflict 2).txt"); }, 60));
    EXPECT_EQ(vaulttest::readFile(mp / "docs/plan (Conflict 2).txt"), "theirs again");
}

} // namespace
