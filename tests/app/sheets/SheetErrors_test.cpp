// Where a refused password goes: the error shows beside the field it is
// about (in the pane or in the sheet, not in the banner behind it), and the
// keyboard focus is back in that field with the refused text selected, so
// typing replaces it. A model on the in-memory driver stands in for gocryptfs.
#include "app/model/AppModel.h"
#include "app/sheets/ActionError.h"
#include "app/sheets/ChangePasswordSheet.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/shell/TrayMenuContent.h"
#include "app/window/ImportDrop.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using uitest::spinUntil;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

constexpr const char* rightPassword = "correct horse";

class SheetErrorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("config"))));
        qunsetenv("HC_DEMO");
        driver_ = std::make_shared<uitest::MemoryDiskImage>(rightPassword);
        previousHooks_ = SheetPresenter::hooks();
        SheetPresenter::installStandard();
        model_ = std::make_unique<AppModel>(dir_.filePath(QStringLiteral("support")));
        const fs::path vaultDir = fs::path(dir_.path().toStdString()) / "vaults" / ".Private.hushcoffer";
        fs::create_directories(vaultDir);
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = "Private";
        const auto key = vaultkit::Mnemonic::generate().recoveryKey().publicKey();
        config.recoveryPublicKey.assign(key.raw.begin(), key.raw.end());
        vault_ = std::make_shared<Vault>(vaultDir, config, driver_);
        model_->registerVault(vault_);
        model_->setSelection(config.id);
    }
    void TearDown() override { SheetPresenter::hooks() = previousHooks_; }

    bool idle() { return spinUntil([&] { return model_->working().empty(); }); }

    // The field is where typing goes and the refused text is selected whole.
    static void expectReadyForRetry(QWidget* window, QLineEdit* field, const QString& refused) {
        EXPECT_EQ(window->focusWidget(), field);
        EXPECT_EQ(field->text(), refused);
        EXPECT_EQ(field->selectedText(), refused);
    }

    QTemporaryDir dir_;
    std::shared_ptr<uitest::MemoryDiskImage> driver_;
    std::unique_ptr<AppModel> model_;
    std::shared_ptr<Vault> vault_;
    SheetPresenter::Hooks previousHooks_;
};

TEST_F(SheetErrorsTest, AnActionTakesOnlyTheErrorReportedAfterItStartedAndOnlyAnError) {
    ActionError error;
    // an older error in the banner is not the action's and stays
    model_->setMessage(Banner(QStringLiteral("an earlier failure"), true));
    error.begin(model_.get());
    EXPECT_TRUE(error.take(model_.get()).isEmpty());
    ASSERT_TRUE(model_->message().has_value());
    // a success message is not an error to show
    model_->setMessage(Banner(QStringLiteral("done"), false));
    EXPECT_TRUE(error.take(model_.get()).isEmpty());
    EXPECT_TRUE(model_->message().has_value());
    // the action's own error moves from the banner to the sheet
    model_->setMessage(Banner(QStringLiteral("refused"), true));
    EXPECT_EQ(error.take(model_.get()), QStringLiteral("refused"));
    EXPECT_FALSE(model_->message().has_value());
    EXPECT_TRUE(error.take(nullptr).isEmpty());
}

TEST_F(SheetErrorsTest, AWrongPasswordInThePaneShowsUnderTheFieldWithTheTextSelectedForRetyping) {
    RootView root(model_.get());
    root.show();
    VaultDetail* detail = root.detail();
    ASSERT_NE(detail, nullptr);
    EXPECT_TRUE(uitest::named<QLabel>(detail, "unlockError")->isHidden());

    QTest::keyClicks(uitest::named<QLineEdit>(detail, "passwordField"), QStringLiteral("wrong one"));
    QTest::mouseClick(uitest::named<QPushButton>(detail, "unlockButton"),
                      Qt::LeftButton); // the button takes the focus
    ASSERT_TRUE(idle());
    QApplication::processEvents();
    expectReadyForRetry(&root, uitest::named<QLineEdit>(detail, "passwordField"),
                        QStringLiteral("wrong one"));
    EXPECT_FALSE(uitest::named<QLabel>(detail, "unlockError")->isHidden());
    EXPECT_EQ(uitest::named<QLabel>(detail, "unlockError")->text(), kx("err.wrongPassword"));
    // announced by a screen reader: an alert, and what the field is described by
    QAccessibleInterface* alert =
        QAccessible::queryAccessibleInterface(uitest::named<QLabel>(detail, "unlockError"));
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->role(), QAccessible::AlertMessage);
    EXPECT_EQ(uitest::named<QLineEdit>(detail, "passwordField")->accessibleDescription(),
              kx("err.wrongPassword"));
    // said once, beside the field, not again in the banner at the bottom
    EXPECT_FALSE(model_->message().has_value());

    // typing again answers the error; the right password unlocks
    QTest::keyClicks(uitest::named<QLineEdit>(detail, "passwordField"), QString::fromLatin1(rightPassword));
    EXPECT_EQ(uitest::named<QLineEdit>(detail, "passwordField")->text(), QString::fromLatin1(rightPassword))
        << "typing replaced the selection";
    EXPECT_TRUE(uitest::named<QLabel>(detail, "unlockError")->isHidden());
    QTest::keyClick(uitest::named<QLineEdit>(detail, "passwordField"), Qt::Key_Return);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(model_->isUnlocked(vault_));
}

TEST_F(SheetErrorsTest, TheTraysUnlockOpensTheWindowWithTheFocusInThePasswordField) {
    MainWindow window(model_.get(), QStringLiteral("Hushcoffer"), {});
    window.show();
    model_->setSelection(std::nullopt);
    QApplication::processEvents();
    TrayMenuContent::Actions actions{[&] { window.bringToFront(); }, {}};
    const auto items = TrayMenuContent::items(model_.get(), actions);
    const QString title = kx("menu.unlockOne", QStringLiteral("Private"));
    const auto item = std::find_if(items.begin(), items.end(), [&](const auto& i) { return i.title == title; });
    ASSERT_NE(item, items.end());
    item->action();
    QApplication::processEvents();
    VaultDetail* detail = window.rootView()->detail();
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(window.focusWidget(), uitest::named<QLineEdit>(detail, "passwordField"));
}

TEST_F(SheetErrorsTest, APasswordPromptShowsItsOwnErrorAndSelectsTheRefusedPassword) {
    RootView root(model_.get());
    root.show();
    auto* prompt = qobject_cast<PasswordPromptSheet*>(root.detail()->openSheet(VaultDetail::Sheet::regenerate));
    ASSERT_NE(prompt, nullptr);
    EXPECT_TRUE(prompt->errorLabel()->isHidden());
    QTest::keyClicks(prompt->passwordField(), QStringLiteral("not it"));
    QTest::mouseClick(prompt->okButton(), Qt::LeftButton);
    ASSERT_TRUE(idle());
    QApplication::processEvents();
    EXPECT_TRUE(prompt->isVisible());
    EXPECT_FALSE(prompt->errorLabel()->isHidden());
    EXPECT_EQ(prompt->errorLabel()->text(), kx("err.wrongPassword"));
    expectReadyForRetry(prompt, prompt->passwordField(), QStringLiteral("not it"));
    EXPECT_FALSE(model_->message().has_value()) << "not also behind the sheet";
    prompt->reject();
}

TEST_F(SheetErrorsTest, ChangePasswordShowsAWrongCurrentPasswordInsideTheSheetLockedOrUnlocked) {
    for (const bool unlocked : {false, true}) {
        SCOPED_TRACE(unlocked ? "unlocked" : "locked");
        if (unlocked) {
            model_->unlock(vault_, QString::fromLatin1(rightPassword));
            ASSERT_TRUE(idle());
            ASSERT_TRUE(model_->isUnlocked(vault_));
        }
        ChangePasswordSheet sheet(model_.get(), vault_);
        sheet.show();
        sheet.oldField()->setText(QStringLiteral("mistyped"));
        sheet.newField()->setText(QStringLiteral("a new password"));
        sheet.confirmField()->setText(QStringLiteral("a new password"));
        sheet.newField()->setFocus();
        QTest::mouseClick(sheet.actionButton(), Qt::LeftButton);
        ASSERT_TRUE(idle());
        QApplication::processEvents();
        EXPECT_TRUE(sheet.isVisible());
        EXPECT_FALSE(sheet.errorLabel()->isHidden());
        EXPECT_EQ(sheet.errorLabel()->text(), kx("err.wrongPassword"));
        EXPECT_EQ(sheet.oldField()->accessibleDescription(), kx("err.wrongPassword")) << "the field it is about";
        EXPECT_NE(sheet.newField()->accessibleDescription(), kx("err.wrongPassword"));
        expectReadyForRetry(&sheet, sheet.oldField(), QStringLiteral("mistyped"));
        EXPECT_EQ(sheet.newField()->text(), QStringLiteral("a new password")) << "the new one is kept";
        EXPECT_EQ(model_->isUnlocked(vault_), unlocked) << "the vault stays as it was";
        EXPECT_FALSE(model_->message().has_value()) << "not also behind the sheet";

        // typing hides the error; the right current password changes it
        QTest::keyClicks(sheet.oldField(), QString::fromLatin1(rightPassword));
        EXPECT_TRUE(sheet.errorLabel()->isHidden());
        EXPECT_EQ(sheet.oldField()->text(), QString::fromLatin1(rightPassword));
        ASSERT_TRUE(sheet.actionButton()->isEnabled());
        QTest::mouseClick(sheet.actionButton(), Qt::LeftButton);
        ASSERT_TRUE(idle());
        QApplication::processEvents();
        EXPECT_FALSE(sheet.isVisible()) << sheet.errorLabel()->text().toStdString();
        // back to the first password for the next round
        std::optional<bool> back;
        model_->changePassword(vault_, QStringLiteral("a new password"), QString::fromLatin1(rightPassword),
                               [&](bool ok) { back = ok; });
        ASSERT_TRUE(spinUntil([&] { return back.has_value(); }));
        ASSERT_TRUE(*back);
        ASSERT_TRUE(idle());
    }
}

TEST_F(SheetErrorsTest, TheUnlockPromptOfADropOnALockedVaultShowsAWrongPasswordInItself) {
    QWidget area;
    area.show();
    ImportDrop drop(model_.get(), &area, nullptr, Qt::UserRole);
    drop.importInto(vault_, {QUrl::fromLocalFile(dir_.filePath(QStringLiteral("some file")))});
    PasswordPromptSheet* prompt = area.findChild<PasswordPromptSheet*>();
    ASSERT_NE(prompt, nullptr);
    QTest::keyClicks(prompt->passwordField(), QStringLiteral("not it"));
    QTest::mouseClick(prompt->okButton(), Qt::LeftButton);
    ASSERT_TRUE(idle());
    QApplication::processEvents();
    EXPECT_TRUE(prompt->isVisible());
    EXPECT_EQ(prompt->errorLabel()->text(), kx("err.wrongPassword"));
    expectReadyForRetry(prompt, prompt->passwordField(), QStringLiteral("not it"));
    EXPECT_FALSE(model_->message().has_value());
    prompt->reject();
}

} // namespace
