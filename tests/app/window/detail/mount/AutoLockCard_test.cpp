// "Unlock when I log in" in the vault's pane, with a real vault and a real
// Secret Service (gnome-keyring-daemon on a private bus): checking the box
// asks for the password first and stays off until it is stored; cancelling
// or a wrong password stores nothing; once on, the application offers to
// start at login when it does not; unchecking deletes the stored password.
#include "app/desktop/FolderLook.h"
#include "app/model/AppModel.h"
#include "app/model/LoginUnlockController.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/VaultDetail.h"
#include "kxcore/Autostart.h"
#include "kxui/GeneralSettings.h"
#include "kxui/kx.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "support/TestKeyring.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using uitest::spinUntil;
using vaultkit::Vault;
using vaulttest::TestKeyring;

namespace {

const QString kPassword = QStringLiteral("first password 1");

class AutoLockCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()));
        vault = Vault::create(tmp.path(), "Tax Papers", kPassword.toStdString(),
                              vaultkit::Mnemonic::generate(), {}, vaulttest::fastGocryptfs());
        model->registerVault(vault);
        hooks = SheetPresenter::hooks();
        SheetPresenter::installStandard();
        // the autostart entry goes below the test's folder
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((tmp / "config").string()));
        desktopFile = QGuiApplication::desktopFileName();
        QGuiApplication::setDesktopFileName(QStringLiteral("app.hushcoffer.Hushcoffer"));
        window = std::make_unique<QWidget>();
        detail = new VaultDetail(model.get(), vault, window.get());
        (new QVBoxLayout(window.get()))->addWidget(detail);
        window->resize(900, 700);
        window->show();
    }
    void TearDown() override {
        window.reset();
        std::optional<bool> locked;
        if (vault->isUnlocked()) model->lock(vault, true, [&](bool ok) { locked = ok; });
        spinUntil([&] { return locked.has_value() || !vault->isUnlocked(); }, 60);
        model.reset();
        SheetPresenter::hooks() = hooks;
        QGuiApplication::setDesktopFileName(desktopFile);
        qunsetenv("XDG_CONFIG_HOME");
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
    }
    // The prompt on screen (a closed one may wait for its deletion).
    PasswordPromptSheet* prompt() const {
        for (auto* sheet : window->findChildren<PasswordPromptSheet*>())
            if (sheet->isVisible()) return sheet;
        return nullptr;
    }
    void answer(const QString& password) {
        ASSERT_NE(prompt(), nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(prompt()));
        QPointer<PasswordPromptSheet> sheet = prompt();
        sheet->passwordField()->setText(password);
        QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
        ASSERT_TRUE(sheet->busy());
        ASSERT_TRUE(spinUntil([&] { return !sheet || !sheet->busy(); }, 60));
    }
    std::string id() const { return vault->config().id.text(); }

    TestKeyring keyring;
    vaulttest::TempDir tmp{"hc-pane"};
    fs::path support;
    std::unique_ptr<AppModel> model;
    std::shared_ptr<Vault> vault;
    SheetPresenter::Hooks hooks;
    QString desktopFile;
    std::unique_ptr<QWidget> window;
    VaultDetail* detail = nullptr;
};

TEST_F(AutoLockCardTest, TheBoxAsksForThePasswordAndTurnsOnOnlyOnceItIsStored) {
    QCheckBox* box = uitest::named<QCheckBox>(detail, "loginUnlock");
    ASSERT_TRUE(box->isVisible()); // the vault is unlocked
    EXPECT_FALSE(box->isChecked());

    // cancelled: nothing stored, the box stays off
    QTest::mouseClick(box, Qt::LeftButton);
    ASSERT_EQ(detail->sheet(), VaultDetail::Sheet::loginUnlock);
    EXPECT_FALSE(box->isChecked());
    prompt()->reject();
    ASSERT_TRUE(spinUntil([&] { return !detail->sheet(); }));
    EXPECT_FALSE(box->isChecked());

    // a wrong password: the prompt stays with the error beside its field
    QTest::mouseClick(box, Qt::LeftButton);
    answer(QStringLiteral("not the password"));
    ASSERT_NE(prompt(), nullptr);
    auto* error = prompt()->findChild<QLabel*>(QStringLiteral("sheetError"));
    ASSERT_NE(error, nullptr);
    EXPECT_FALSE(error->isHidden());
    EXPECT_EQ(error->text(), kx("err.wrongPassword"));
    EXPECT_FALSE(model->message() && model->message()->isError) << "not also in the banner behind it";
    EXPECT_TRUE(keyring.items(id()).empty());
    EXPECT_FALSE(box->isChecked());

    // the right one: stored, the box on, and the offer to start at login
    answer(kPassword);
    ASSERT_TRUE(spinUntil([&] { return !detail->sheet(); }));
    EXPECT_TRUE(box->isChecked());
    ASSERT_EQ(keyring.items(id()).size(), 1u);
    EXPECT_EQ(keyring.items(id())[0].secret, kPassword.toStdString());
    QMessageBox* offer = uitest::findNamed<QMessageBox>(detail->window(), "autostartOffer");
    ASSERT_NE(offer, nullptr);
    // while it does not start at login, nothing promises the unlock at login
    ASSERT_TRUE(model->message());
    EXPECT_EQ(model->message()->text, kx("loginUnlock.pending", QString::fromStdString(vault->config().name)));
    QPushButton* turnOn = nullptr;
    for (auto* b : offer->buttons())
        if (b->text() == kx("loginUnlock.autostartOn")) turnOn = qobject_cast<QPushButton*>(b);
    ASSERT_NE(turnOn, nullptr);
    QTest::mouseClick(turnOn, Qt::LeftButton);
    EXPECT_TRUE(kxui::GeneralSettings::autostart().isEnabled());
    EXPECT_TRUE(fs::exists(tmp / "config" / "autostart" / "app.hushcoffer.Hushcoffer.desktop"));
    // now it does: said once it holds
    ASSERT_TRUE(model->message());
    EXPECT_EQ(model->message()->text, kx("ok.loginUnlockOn", QString::fromStdString(vault->config().name)));

    // unchecked: the stored password goes
    QTest::mouseClick(box, Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return keyring.items(id()).empty(); }, 60));
    ASSERT_TRUE(spinUntil([&] { return !model->loginUnlock().unlocksAtLogin(vault); }));
    detail->refresh();
    EXPECT_FALSE(box->isChecked());

    // on again while the application starts at login: no offer this time
    spinUntil([&] { return !uitest::findNamed<QMessageBox>(detail->window(), "autostartOffer"); });
    QTest::mouseClick(box, Qt::LeftButton);
    answer(kPassword);
    ASSERT_TRUE(spinUntil([&] { return !detail->sheet(); }));
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(uitest::findNamed<QMessageBox>(detail->window(), "autostartOffer"), nullptr);
    ASSERT_TRUE(model->message());
    EXPECT_EQ(model->message()->text, kx("ok.loginUnlockOn", QString::fromStdString(vault->config().name)));
}

} // namespace
