// The vault's encrypted data in the window, against real vaults: checking it
// for damage (the button, the password prompt, the result sheet the model
// publishes).
#include "app/desktop/FolderLook.h"
#include "app/model/AppModel.h"
#include "app/sheets/DataCheckSheet.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "support/TestSupport.h"
#include "vaultkit/diskimage/GocryptfsControlSocket.h"
#include "vaultkit/vault/Vault.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using uitest::spinUntil;
using vaultkit::Vault;

namespace {

const std::string kPassword = "right password 1";

class VaultDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        driver = vaulttest::fastGocryptfs();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()));
        vault = Vault::create(tmp.path(), "Papers", kPassword, vaultkit::Mnemonic::generate(), {}, driver);
        model->registerVault(vault);
        hooksBefore = SheetPresenter::hooks();
        SheetPresenter::installStandard(); // the password prompt is the real one
    }
    void TearDown() override {
        SheetPresenter::hooks() = hooksBefore;
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
    // Types the password into the check's prompt and presses OK; true when
    // the prompt closed (the check ran), false when it stayed open.
    bool checkWith(VaultDetail* detail, const QString& password) {
        EXPECT_TRUE(uitest::named<QPushButton>(detail, "checkData")->isVisible());
        QTest::mouseClick(uitest::named<QPushButton>(detail, "checkData"), Qt::LeftButton);
        EXPECT_EQ(detail->sheet(), VaultDetail::Sheet::checkData);
        QPointer<PasswordPromptSheet> prompt;
        for (auto* w : QApplication::topLevelWidgets())
            if (auto* p = qobject_cast<PasswordPromptSheet*>(w); p && p->isVisible()) prompt = p;
        if (!prompt) {
            ADD_FAILURE() << "no password prompt";
            return false;
        }
        QTest::keyClicks(prompt->passwordField(), password);
        prompt->go();
        EXPECT_TRUE(spinUntil([&] { return !prompt || !prompt->busy(); }, 120));
        const bool closed = !prompt || !prompt->isVisible();
        promptError.clear();
        if (!closed) {
            // the refused password's error shows in the prompt, beside the field
            if (auto* label = prompt->findChild<QLabel*>(QStringLiteral("sheetError")); label && !label->isHidden())
                promptError = label->text();
            prompt->reject();
        }
        return closed;
    }
    // The encrypted file of a plain path of the unlocked vault.
    fs::path cipherOf(const std::string& plain) {
        const auto c = vaultkit::GocryptfsControlSocket(driver->controlSocket(vault->image())).encryptPath(plain);
        if (!c) throw std::runtime_error("no cipher name");
        return vault->image() / *c;
    }

    vaulttest::TempDir tmp{"hc-vaultdata"};
    fs::path support;
    std::shared_ptr<vaultkit::GocryptfsDiskImage> driver;
    QString promptError; // the error the last prompt left open showed
    std::unique_ptr<AppModel> model;
    AppModel::VaultPtr vault;
    SheetPresenter::Hooks hooksBefore;
};

TEST_F(VaultDataTest, CheckEncryptedDataAsksThePasswordAndShowsWhatIsDamaged) {
    fs::create_directories(vault->mountPoint() / "letters");
    vaulttest::writeFile(vault->mountPoint() / "letters/long.txt", std::string(30000, 'x'));
    const fs::path longCipher = cipherOf("letters/long.txt");
    RootView view(model.get());
    view.resize(1000, 700);
    view.show();
    model->setSelection(vault->config().id);
    ASSERT_TRUE(spinUntil([&] { return view.detail() && view.detail()->vault() == vault; }));
    // Only a locked vault is checked.
    EXPECT_FALSE(uitest::named<QPushButton>(view.detail(), "checkData")->isVisible());
    ASSERT_TRUE(await([&](AppModel::Done d) { model->lock(vault, false, d); }));
    ASSERT_TRUE(
        spinUntil([&] { return uitest::named<QPushButton>(view.detail(), "checkData")->isVisible(); }));

    // A wrong password: the prompt stays and says why beside the field, no result.
    EXPECT_FALSE(checkWith(view.detail(), "wrong password 1"));
    EXPECT_EQ(promptError, kx("err.wrongPassword"));
    EXPECT_FALSE(model->message() && model->message()->isError) << "not also in the banner behind it";
    EXPECT_FALSE(model->dataCheck());

    EXPECT_TRUE(checkWith(view.detail(), QString::fromStdString(kPassword)));
    ASSERT_TRUE(spinUntil([&] { return view.dataCheckSheet() != nullptr; }));
    auto* whole = qobject_cast<DataCheckSheet*>(view.dataCheckSheet());
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->titleLabel()->text(), kx("check.wholeTitle"));
    EXPECT_FALSE(whole->damagedList());
    QTest::mouseClick(whole->closeButton(), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return !view.dataCheckSheet() && !model->dataCheck(); }));

    // A file cut short (a crash or a full disk while syncing).
    fs::resize_file(longCipher, 4000);
    EXPECT_TRUE(checkWith(view.detail(), QString::fromStdString(kPassword)));
    ASSERT_TRUE(spinUntil([&] { return view.dataCheckSheet() != nullptr; }));
    auto* damaged = qobject_cast<DataCheckSheet*>(view.dataCheckSheet());
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->titleLabel()->text(), kx("check.damagedTitle"));
    ASSERT_TRUE(damaged->damagedList());
    ASSERT_EQ(damaged->damagedList()->count(), 1);
    EXPECT_EQ(damaged->damagedList()->item(0)->text(), QStringLiteral("letters/long.txt"));
    EXPECT_EQ(damaged->bodyLabel()->text(), kx("check.damagedBody", 1, QStringLiteral("Papers")));
    ASSERT_TRUE(damaged->adviceLabel());
    EXPECT_EQ(damaged->adviceLabel()->text(), kx("check.advice"));
    EXPECT_FALSE(damaged->unnamedLabel());
    // The check changed nothing: the vault still opens with its password.
    damaged->reject();
    EXPECT_FALSE(vault->isUnlocked());
    EXPECT_TRUE(driver->checkPassword(vault->image(), kPassword));
}

} // namespace
