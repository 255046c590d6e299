// The sheets against real vaults: one run through the whole life of a vault
// driven through the sheets as a user would (typing, clicking, answering the
// quiz from the words on screen), and the credential sheets' completion
// pattern with the real model: a refused password keeps the sheet open with
// its input, an accepted one closes it.
#include "app/model/AppModel.h"
#include "app/sheets/ChangePasswordSheet.h"
#include "app/sheets/create/CreateSheet.h"
#include "app/desktop/FolderLook.h"
#include "app/sheets/ImportResultSheet.h"
#include "app/sheets/MnemonicGrid.h"
#include "app/sheets/MnemonicSheet.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/RecoverSheet.h"
#include "kxui/kx.h"
#include "support/TestSupport.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/error/VaultError.h"
#include "support/Spin.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using vaultkit::Vault;
using VaultPtr = AppModel::VaultPtr;

namespace {

using uitest::spinUntil;

class SheetsMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        driver = vaulttest::fastGocryptfs();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()));
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
    static void type(QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    static void click(QAbstractButton* button) {
        ASSERT_TRUE(button->isVisible());
        ASSERT_TRUE(button->isEnabled()) << button->text().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }
    QString bannerText() const { return model->message() ? model->message()->text : QString(); }

    vaulttest::TempDir tmp{"hc-sheets"};
    fs::path support;
    std::shared_ptr<vaultkit::DiskImage> driver;
    std::unique_ptr<AppModel> model;
};

TEST_F(SheetsMountTest, AVaultsWholeLifeThroughTheSheets) {
    // ---- create: four steps, typed and clicked
    auto* create = new CreateSheet(model.get());
    create->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<CreateSheet> sheet(create);
    sheet->setDiskImage(driver);
    sheet->setParentFolder(QString::fromStdString(tmp.path().string()));
    sheet->show();

    type(sheet->nameField(), "Tax Papers");
    click(sheet->nextButton());
    ASSERT_EQ(sheet->step(), CreateSheet::password);
    type(sheet->passwordField(), "first password 1");
    type(sheet->confirmField(), "first password 1");
    click(sheet->nextButton());
    ASSERT_EQ(sheet->step(), CreateSheet::phrase);
    QStringList shown;
    for (int i = 0; i < 12; ++i)
        shown << sheet->grid()->wordLabel(i)->text();
    click(sheet->wroteDownToggle());
    click(sheet->nextButton());
    ASSERT_EQ(sheet->step(), CreateSheet::quiz);
    for (int i = 0; i < 3; ++i) {
        // "Word 7" -> the seventh word on the phrase step
        const auto match = QRegularExpression("(\\d+)").match(sheet->wordLabel(i)->text());
        ASSERT_TRUE(match.hasMatch());
        const int number = match.captured(1).toInt();
        ASSERT_GE(number, 1);
        ASSERT_LE(number, 12);
        type(sheet->answerField(i), " " + shown[number - 1].toUpper());
    }
    // a conflict the location step could not see: the first Finish fails
    fs::create_directory(tmp / ".Tax Papers.hushcoffer");
    vaulttest::writeFile(tmp / ".Tax Papers.hushcoffer" / "notes.txt", "someone's");
    std::optional<bool> finished;
    QObject::connect(sheet, &CreateSheet::creationFinished, [&](bool ok) { finished = ok; });
    click(sheet->nextButton());
    ASSERT_TRUE(spinUntil([&] { return finished.has_value(); }, 60));
    ASSERT_FALSE(*finished);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->step(), CreateSheet::quiz);
    EXPECT_TRUE(sheet->error());
    fs::remove_all(tmp / ".Tax Papers.hushcoffer");

    // Finish again, now with a real vault
    finished.reset();
    QStringList stages;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (sheet && sheet->progress() && (stages.isEmpty() || stages.last() != *sheet->progress()))
            stages << *sheet->progress();
    });
    watcher.start(1);
    click(sheet->nextButton());
    ASSERT_TRUE(spinUntil([&] { return finished.has_value(); }, 120));
    watcher.stop();
    ASSERT_TRUE(*finished);
    EXPECT_TRUE(stages.contains(kx("create.working")) || stages.contains(kx("create.stage.create")));
    for (const QString& s : stages)
        EXPECT_TRUE(s == kx("create.working") || s == kx("create.stage.create") ||
                    s == kx("create.stage.verify") || s == kx("create.stage.done"))
            << s.toStdString();
    spinUntil([&] { return !sheet; }, 5);
    EXPECT_FALSE(sheet) << "the sheet closed itself";

    // found unlocked and registered, selected, announced
    ASSERT_EQ(model->vaults().size(), 1u);
    VaultPtr vault = model->vaults().front();
    EXPECT_EQ(vault->config().name, "Tax Papers");
    EXPECT_EQ(model->selected(), vault);
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_EQ(bannerText(), kx("ok.created", "Tax Papers"));
    QFile registry(model->registryFile());
    ASSERT_TRUE(registry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        registry.readAll().replace("\\/", "/").contains((tmp / ".Tax Papers.hushcoffer").string().c_str()));
    EXPECT_TRUE(vault->checkMnemonic(shown.join(' ').toStdString())) << "the phrase on screen is the vault's";

    // ---- lock, then unlock with the password
    ASSERT_TRUE(await([&](AppModel::Done d) { model->lock(vault, false, d); }));
    EXPECT_FALSE(vault->isUnlocked());
    EXPECT_EQ(bannerText(), QString()) << "\"created, unlocked and ready\" is gone once the vault is locked";
    ASSERT_TRUE(await([&](AppModel::Done d) { model->unlock(vault, "first password 1", d); }));
    EXPECT_TRUE(vault->isUnlocked());
    vaulttest::writeFile(vault->mountPoint() / "kept.txt", "still here");

    // ---- change the password: a wrong old one keeps the sheet open
    auto* change = new ChangePasswordSheet(model.get(), vault);
    change->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<ChangePasswordSheet> changeSheet(change);
    change->show();
    type(change->oldField(), "not the password");
    type(change->newField(), "second password 2");
    type(change->confirmField(), "second password 2");
    click(change->actionButton());
    EXPECT_TRUE(change->busy());
    EXPECT_FALSE(change->actionButton()->isEnabled());
    ASSERT_TRUE(spinUntil([&] { return !change->busy(); }, 120));
    ASSERT_TRUE(changeSheet);
    EXPECT_TRUE(change->isVisible());
    EXPECT_EQ(change->oldField()->text(), "not the password");
    EXPECT_EQ(change->newField()->text(), "second password 2");
    // the error shows in the sheet, beside the fields, not in the banner behind it
    auto* changeError = change->findChild<QLabel*>(QStringLiteral("sheetError"));
    ASSERT_NE(changeError, nullptr);
    EXPECT_FALSE(changeError->isHidden());
    EXPECT_EQ(changeError->text(), describe(vaultkit::VaultError::wrongPassword()));
    EXPECT_TRUE(bannerText().isEmpty());
    ASSERT_TRUE(spinUntil([&] { return model->working().empty(); }, 60));
    // the old password is checked before the vault is locked: a mistyped one
    // leaves the vault open and its files where they were
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "kept.txt"), "still here");

    type(change->oldField(), "first password 1");
    click(change->actionButton());
    ASSERT_TRUE(spinUntil([&] { return !changeSheet; }, 120));
    EXPECT_EQ(bannerText(), kx("ok.passwordChanged"));
    ASSERT_TRUE(spinUntil([&] { return model->working().empty(); }, 60));
    EXPECT_TRUE(vault->isUnlocked());

    // ---- recover with the phrase, laid out on lines
    auto* recover = new RecoverSheet(model.get(), vault);
    recover->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<RecoverSheet> recoverSheet(recover);
    recover->show();
    QTest::keyClicks(recover->phraseEditor(), shown.mid(0, 6).join(' '));
    EXPECT_EQ(recover->feedback(), RecoverSheet::Feedback::count);
    QTest::keyClick(recover->phraseEditor(), Qt::Key_Return);
    QTest::keyClicks(recover->phraseEditor(), shown.mid(6).join("  "));
    EXPECT_EQ(recover->feedback(), RecoverSheet::Feedback::matches);
    type(recover->passwordField(), "third password 3");
    type(recover->confirmField(), "third password 3");
    click(recover->actionButton());
    ASSERT_TRUE(spinUntil([&] { return !recoverSheet; }, 120));
    EXPECT_EQ(bannerText(), kx("ok.recovered"));
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "kept.txt"), "still here");
    ASSERT_TRUE(await([&](AppModel::Done d) { model->lock(vault, false, d); }));
    EXPECT_FALSE(await([&](AppModel::Done d) { model->unlock(vault, "second password 2", d); }));
    ASSERT_TRUE(await([&](AppModel::Done d) { model->unlock(vault, "third password 3", d); }));

    // ---- import a folder, then keep the originals
    const fs::path outside = tmp / "outside" / "Letters";
    fs::create_directories(outside);
    vaulttest::writeFile(outside / "a.txt", "letter a");
    vaulttest::writeFile(outside / "b.txt", "letter b");
    await([&](AppModel::Done d) {
        model->importItems(vault, {QUrl::fromLocalFile(QString::fromStdString(outside.string()))}, d);
    });
    ASSERT_TRUE(model->importResults());
    auto* summary = new ImportResultSheet(model.get(), model->importResults()->results);
    summary->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<ImportResultSheet> summarySheet(summary);
    summary->show();
    EXPECT_EQ(summary->nameLabel(0)->text(), "Letters");
    EXPECT_EQ(summary->okCount(), 1);
    ASSERT_NE(summary->trashButton(), nullptr);
    EXPECT_EQ(summary->trashButton()->text(), kx("import.trash", 1));
    click(summary->keepButton());
    EXPECT_FALSE(model->importResults());
    EXPECT_FALSE(summarySheet && summarySheet->isVisible());
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "Letters" / "b.txt"), "letter b");
    EXPECT_TRUE(fs::exists(outside / "a.txt")) << "kept";
}

TEST_F(SheetsMountTest, PasswordPromptStaysOpenOnAWrongPasswordAndANewPhraseFollowsTheRightOne) {
    auto vault =
        Vault::create(tmp.path(), "Prompted", "right password 1", vaultkit::Mnemonic::generate(), {}, driver);
    model->registerVault(vault);
    ASSERT_TRUE(await([&](AppModel::Done d) { model->lock(vault, false, d); }));

    auto* prompt = new PasswordPromptSheet(kx("mnemonic.regenTitle"), kx("mnemonic.regenNote"),
                                           [&](const QString& password, std::function<void(bool)> done) {
                                               model->regenerateMnemonic(vault, password, std::move(done));
                                           });
    prompt->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<PasswordPromptSheet> guard(prompt);
    prompt->show();
    QTest::keyClicks(prompt->passwordField(), "wrong password");
    QTest::keyClick(prompt->passwordField(), Qt::Key_Return);
    EXPECT_TRUE(prompt->busy());
    ASSERT_TRUE(spinUntil([&] { return !prompt->busy(); }, 60));
    ASSERT_TRUE(guard);
    EXPECT_TRUE(prompt->isVisible());
    EXPECT_EQ(prompt->passwordField()->text(), "wrong password");
    EXPECT_EQ(bannerText(), describe(vaultkit::VaultError::wrongPassword()));
    EXPECT_FALSE(model->shownMnemonic());

    type(prompt->passwordField(), "right password 1");
    click(prompt->okButton());
    ASSERT_TRUE(spinUntil([&] { return !guard; }, 60));
    ASSERT_TRUE(model->shownMnemonic());

    // the new phrase: Done only after the toggle, and it clears the model's value
    const auto shown = *model->shownMnemonic();
    MnemonicSheet phrase(kx("mnemonic.newTitle", shown.vaultName), shown.mnemonic,
                         [&] { model->setShownMnemonic(std::nullopt); });
    phrase.show();
    EXPECT_FALSE(phrase.doneButton()->isEnabled());
    click(phrase.wroteToggle());
    click(phrase.doneButton());
    EXPECT_FALSE(model->shownMnemonic());
    EXPECT_TRUE(vault->checkMnemonic(shown.mnemonic.phrase()));
}

TEST_F(SheetsMountTest, ChangePasswordSheetClosesOnSuccessForALockedVault) {
    auto vault =
        Vault::create(tmp.path(), "Locked", "right password 1", vaultkit::Mnemonic::generate(), {}, driver);
    model->registerVault(vault);
    ASSERT_TRUE(await([&](AppModel::Done d) { model->lock(vault, false, d); }));
    auto* change = new ChangePasswordSheet(model.get(), vault);
    change->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<ChangePasswordSheet> guard(change);
    change->show();
    type(change->oldField(), "right password 1");
    type(change->newField(), "abcdefg");
    type(change->confirmField(), "abcdefg");
    EXPECT_FALSE(change->actionButton()->isEnabled()) << "7 characters";
    type(change->newField(), "new password 22");
    type(change->confirmField(), "new password 22");
    click(change->actionButton());
    ASSERT_TRUE(spinUntil([&] { return !guard; }, 120));
    EXPECT_FALSE(vault->isUnlocked()) << "a locked vault stays locked";
    EXPECT_TRUE(driver->checkPassword(vault->image(), "new password 22"));
}

} // namespace
