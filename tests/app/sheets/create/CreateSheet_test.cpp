// The creation sheet without mounts: the enabling rule of every step, the
// checks of Next, the quiz, a failed creation, the demonstration start, the
// folder chooser and the path display.
#include "app/model/AppModel.h"
#include "app/widgets/BusySpinner.h"
#include "app/sheets/create/CreateSheet.h"
#include "app/sheets/MnemonicGrid.h"
#include "app/widgets/PathLabel.h"
#include "app/sheets/create/StepsView.h"
#include "app/widgets/StrengthBar.h"
#include "kxui/kx.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/error/VaultError.h"
#include "support/Spin.h"

#include "../../../support/SharedRuleCases.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

using uitest::spinUntil;

class CreateSheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        root = fs::path(tmp.path().toStdString());
        fs::create_directories(root / "support");
        model = std::make_unique<AppModel>(QString::fromStdString((root / "support").string()));
        sheet = std::make_unique<CreateSheet>(model.get());
        sheet->setParentFolder(QString::fromStdString(root.string()));
        sheet->show();
    }
    void TearDown() override {
        sheet.reset();
        model.reset();
        vaultkit::Vault::setBackupDirectory(std::nullopt);
    }

    void type(QLineEdit* field, const QString& text) {
        field->clear();
        QTest::keyClicks(field, text);
    }
    void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // Name "V" in the temporary folder, a good password, the phrase written down.
    void goToQuiz() {
        sheet->nameField()->setText("V");
        click(sheet->nextButton());
        ASSERT_EQ(sheet->step(), CreateSheet::password);
        type(sheet->passwordField(), "good password 1");
        type(sheet->confirmField(), "good password 1");
        click(sheet->nextButton());
        ASSERT_EQ(sheet->step(), CreateSheet::phrase);
        sheet->wroteDownToggle()->setChecked(true);
        click(sheet->nextButton());
        ASSERT_EQ(sheet->step(), CreateSheet::quiz);
    }
    // The word the grid shows at 0-based position p.
    QString shownWord(int p) const { return sheet->grid()->wordLabel(p)->text(); }
    void answerAll() {
        for (int i = 0; i < 3; ++i)
            type(sheet->answerField(i), shownWord(sheet->quizPositions()[i]));
    }

    QTemporaryDir tmp;
    fs::path root;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<CreateSheet> sheet;
};

TEST_F(CreateSheetTest, OpensFreshAtTheFirstStep) {
    EXPECT_EQ(sheet->step(), CreateSheet::location);
    EXPECT_EQ(sheet->name(), kx("create.defaultName"));
    EXPECT_EQ(CreateSheet(model.get()).parentFolder(), QDir::homePath());
    EXPECT_TRUE(sheet->passwordField()->text().isEmpty());
    EXPECT_TRUE(sheet->confirmField()->text().isEmpty());
    EXPECT_FALSE(sheet->wroteDownToggle()->isChecked());
    EXPECT_TRUE(sheet->quizPositions().empty());
    EXPECT_FALSE(sheet->progress());
    EXPECT_FALSE(sheet->error());
    EXPECT_EQ(sheet->words().size(), 12);
    EXPECT_FALSE(sheet->backButton()->isVisible());
    EXPECT_EQ(sheet->nextButton()->text(), kx("create.next"));
    EXPECT_TRUE(sheet->nextButton()->isDefault());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    // every opening makes its own phrase
    EXPECT_NE(CreateSheet(model.get()).words(), sheet->words());
    EXPECT_EQ(sheet->stepsView()->steps(),
              QStringList({kx("create.s1"), kx("create.s2"), kx("create.s3"), kx("create.s4")}));
    EXPECT_EQ(sheet->stepsView()->mark(0), StepsView::Mark::current);
    EXPECT_EQ(sheet->stepsView()->mark(1), StepsView::Mark::todo);
}

TEST_F(CreateSheetTest, BadNamesKeepNextDisabled) {
    struct NameCase {
        QString name;
        bool enabled;
    };
    const NameCase cases[] = {
        {"", false},       {"   ", false},         {"\t \t", false}, {".hidden", false},
        {"a/b", false},    {"/", false},           {"  .x", false},  {"a:b", false},
        {"Private", true}, {"  My Vault  ", true}, {"a.b", true},    {"Ünïcødé 🔒", true},
    };
    for (const auto& c : cases) {
        sheet->nameField()->setText(c.name);
        EXPECT_EQ(sheet->canNext(), c.enabled) << c.name.toStdString();
        EXPECT_EQ(sheet->nextButton()->isEnabled(), c.enabled) << c.name.toStdString();
    }
}

TEST_F(CreateSheetTest, TheTargetIsTheParentWithTheNameTrimmedOfSpacesAndTabs) {
    sheet->nameField()->setText(" \tMy Vault \t");
    EXPECT_EQ(sheet->target(), QString::fromStdString((root / "My Vault").string()));
    EXPECT_EQ(CreateSheet::trimSpacesAndTabs(" \ta b\t "), "a b");
    EXPECT_EQ(CreateSheet::trimSpacesAndTabs("\na\n"), "\na\n"); // line breaks stay
    EXPECT_EQ(sheet->targetLabel()->path(), sheet->target());
}

// The cases the library and hushcoffer-cli create run too
// (tests/support/SharedRuleCases.h).
TEST_F(CreateSheetTest, ATargetIsAcceptedExactlyWhenTheLibraryWouldUseIt) {
    const auto cases = sharedrules::targetCases();
    int n = 0;
    for (const auto& c : cases) {
        const QString name = QStringLiteral("T%1").arg(++n);
        const fs::path target = root / name.toStdString();
        c.make(target);
        sheet->back(); // to step 0 when an earlier case moved on
        sheet->nameField()->setText(name);
        click(sheet->nextButton());
        if (c.usable) {
            EXPECT_EQ(sheet->step(), CreateSheet::password) << c.what;
            EXPECT_FALSE(sheet->error()) << c.what;
        } else {
            EXPECT_EQ(sheet->step(), CreateSheet::location) << c.what;
            ASSERT_TRUE(sheet->error()) << c.what;
            EXPECT_EQ(*sheet->error(), kx("create.notEmpty", PathLabel::abbreviate(sheet->target())))
                << c.what;
            EXPECT_TRUE(sheet->errorLabel()->isVisible()) << c.what;
            EXPECT_EQ(sheet->errorLabel()->text(), *sheet->error()) << c.what;
        }
    }
}

TEST_F(CreateSheetTest, PasswordStepNeedsEightCharactersTwiceAndShowsTheMismatchOnlyOnceConfirmIsTyped) {
    sheet->nameField()->setText("V");
    click(sheet->nextButton());
    ASSERT_EQ(sheet->step(), CreateSheet::password);
    EXPECT_TRUE(sheet->backButton()->isVisible());
    EXPECT_FALSE(sheet->nextButton()->isEnabled());

    type(sheet->passwordField(), "abcdefg");
    EXPECT_FALSE(sheet->mismatchLabel()->isVisible()) << "confirmation still empty";
    EXPECT_LE(sheet->strengthBar()->score(), 1);
    type(sheet->confirmField(), "abcdefg");
    EXPECT_FALSE(sheet->nextButton()->isEnabled()) << "7 characters, both equal";
    EXPECT_FALSE(sheet->mismatchLabel()->isVisible());

    type(sheet->confirmField(), "abcdefgh");
    EXPECT_TRUE(sheet->mismatchLabel()->isVisible());
    EXPECT_EQ(sheet->mismatchLabel()->text(), kx("create.pwMismatch"));
    type(sheet->passwordField(), "abcdefgh");
    EXPECT_FALSE(sheet->mismatchLabel()->isVisible());
    EXPECT_TRUE(sheet->nextButton()->isEnabled());
    EXPECT_EQ(sheet->strengthBar()->score(), 2);

    // user-perceived characters: 7 accented letters are 14 code points
    const QString accented = QString::fromUtf8("e\xCC\x81").repeated(7);
    sheet->passwordField()->setText(accented);
    sheet->confirmField()->setText(accented);
    EXPECT_FALSE(sheet->nextButton()->isEnabled());

    // the library's full rule is applied by Next: a line separator is refused
    const QString withBreak = QStringLiteral("abcdefgh") + QChar(0x2028);
    sheet->passwordField()->setText(withBreak);
    sheet->confirmField()->setText(withBreak);
    ASSERT_TRUE(sheet->nextButton()->isEnabled());
    click(sheet->nextButton());
    EXPECT_EQ(sheet->step(), CreateSheet::password);
    ASSERT_TRUE(sheet->error());
    EXPECT_EQ(*sheet->error(), describe(vaultkit::VaultError::weakPassword()));
    // Back clears the error and keeps the fields
    click(sheet->backButton());
    EXPECT_EQ(sheet->step(), CreateSheet::location);
    EXPECT_FALSE(sheet->error());
    EXPECT_FALSE(sheet->errorLabel()->isVisible());
    EXPECT_EQ(sheet->passwordField()->text(), withBreak);
}

TEST_F(CreateSheetTest, TouchIDUnavailableShowsTheLabelInsteadOfTheToggle) {
    ASSERT_FALSE(vaultkit::QuickUnlockKey::isAvailable()) << "the Linux provider reports not available";
    EXPECT_FALSE(sheet->useTouchID());
    EXPECT_EQ(sheet->touchIDToggle(), nullptr);
    ASSERT_NE(sheet->touchIDUnavailable(), nullptr);
    sheet->nameField()->setText("V");
    click(sheet->nextButton());
    EXPECT_TRUE(sheet->touchIDUnavailable()->isVisible());
    const auto labels = sheet->touchIDUnavailable()->findChildren<QLabel*>();
    bool found = false;
    for (auto* l : labels)
        found = found || l->text() == kx("touchid.unavailable");
    EXPECT_TRUE(found);
}

TEST_F(CreateSheetTest, PhraseStepShowsTheTwelveWordsSelectableAndCopyable) {
    sheet->nameField()->setText("V");
    click(sheet->nextButton());
    type(sheet->passwordField(), "good password 1");
    type(sheet->confirmField(), "good password 1");
    click(sheet->nextButton());
    ASSERT_EQ(sheet->step(), CreateSheet::phrase);
    EXPECT_FALSE(sheet->nextButton()->isEnabled());
    EXPECT_TRUE(sheet->printButton()->isVisible());

    auto* grid = sheet->grid();
    auto* layout = qobject_cast<QGridLayout*>(grid->layout());
    ASSERT_NE(layout, nullptr);
    const QStringList words = sheet->words();
    for (int i = 0; i < 12; ++i) {
        auto* word = grid->wordLabel(i);
        EXPECT_EQ(word->text(), words[i]);
        EXPECT_EQ(grid->numberLabel(i)->text(), QString::number(i + 1));
        EXPECT_TRUE(word->textInteractionFlags() & Qt::TextSelectableByMouse);
        EXPECT_TRUE(word->textInteractionFlags() & Qt::TextSelectableByKeyboard);
        // row by row, three columns
        int row = -1, col = -1, rs = 0, cs = 0;
        layout->getItemPosition(layout->indexOf(word->parentWidget()), &row, &col, &rs, &cs);
        EXPECT_EQ(row, i / 3);
        EXPECT_EQ(col, i % 3);
    }
    QApplication::clipboard()->clear();
    grid->setFocus();
    QTest::keySequence(grid, QKeySequence::Copy);
    EXPECT_EQ(QApplication::clipboard()->text(), words.join(' '));
    // Copy in a word: its selection when there is one, else the whole phrase
    QLabel* fifth = grid->wordLabel(4);
    QApplication::clipboard()->clear();
    QTest::mouseClick(fifth, Qt::LeftButton);
    QTest::keySequence(fifth, QKeySequence::Copy);
    EXPECT_EQ(QApplication::clipboard()->text(), words.join(' '));
    fifth->setSelection(0, 2);
    QTest::keySequence(fifth, QKeySequence::Copy);
    EXPECT_EQ(QApplication::clipboard()->text(), words[4].left(2));

    sheet->wroteDownToggle()->setChecked(true);
    EXPECT_TRUE(sheet->nextButton()->isEnabled());
}

TEST_F(CreateSheetTest, QuizAcceptsSpacesAndCapitalsAndMarksWrongAnswersFromTheThirdCharacter) {
    goToQuiz();
    EXPECT_EQ(sheet->nextButton()->text(), kx("create.finish"));
    EXPECT_FALSE(sheet->nextButton()->isEnabled());
    const auto quiz = sheet->quizPositions();
    ASSERT_EQ(quiz.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sheet->wordLabel(i)->text(), kx("create.wordN", quiz[i] + 1));
        EXPECT_TRUE(sheet->answerField(i)->text().isEmpty());
    }

    // a wrong answer: no mark for one and two characters, red from the third
    const QString right = shownWord(quiz[0]);
    const QString wrong = right == "zoo" ? QString("abandon") : QString("zoo");
    sheet->answerField(0)->clear();
    for (int n = 1; n <= wrong.size(); ++n) {
        QTest::keyClick(sheet->answerField(0), wrong[n - 1].toLatin1());
        EXPECT_EQ(sheet->answerMarkKind(0), n < 3 ? CreateSheet::Mark::none : CreateSheet::Mark::wrong) << n;
        EXPECT_EQ(sheet->answerMark(0)->pixmap().isNull(), n < 3) << n;
    }
    EXPECT_FALSE(sheet->correct(0));

    // surrounding spaces and tabs, any letter case
    type(sheet->answerField(0), "  \t" + right.toUpper() + " \t");
    EXPECT_TRUE(sheet->correct(0));
    EXPECT_EQ(sheet->answerMarkKind(0), CreateSheet::Mark::right);
    // other white space is not trimmed
    sheet->answerField(1)->setText(shownWord(quiz[1]) + QChar(0x00A0));
    EXPECT_FALSE(sheet->correct(1));
    type(sheet->answerField(1), shownWord(quiz[1]).left(1).toUpper() + shownWord(quiz[1]).mid(1));
    EXPECT_FALSE(sheet->nextButton()->isEnabled());
    type(sheet->answerField(2), shownWord(quiz[2]));
    EXPECT_TRUE(sheet->canNext());
    EXPECT_TRUE(sheet->nextButton()->isEnabled());
    // a right word at a wrong position is wrong
    type(sheet->answerField(2), shownWord((quiz[2] + 1) % 12));
    if (shownWord((quiz[2] + 1) % 12) != shownWord(quiz[2])) {
        EXPECT_FALSE(sheet->nextButton()->isEnabled());
    }
}

TEST_F(CreateSheetTest, BackAndForwardAsksNewPositionsWithEmptyAnswersAndTheSamePhrase) {
    goToQuiz();
    const QStringList words = sheet->words();
    const auto first = sheet->quizPositions();
    std::set<int> seen(first.begin(), first.end());
    bool changed = false;
    for (int round = 0; round < 30; ++round) {
        type(sheet->answerField(0), "something");
        click(sheet->backButton());
        ASSERT_EQ(sheet->step(), CreateSheet::phrase);
        EXPECT_TRUE(sheet->wroteDownToggle()->isChecked()) << "kept";
        click(sheet->nextButton());
        ASSERT_EQ(sheet->step(), CreateSheet::quiz);
        const auto quiz = sheet->quizPositions();
        ASSERT_EQ(quiz.size(), 3u);
        EXPECT_TRUE(std::is_sorted(quiz.begin(), quiz.end()));
        EXPECT_EQ(std::set<int>(quiz.begin(), quiz.end()).size(), 3u);
        for (int p : quiz) {
            EXPECT_GE(p, 0);
            EXPECT_LT(p, 12);
            seen.insert(p);
        }
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(sheet->answerField(i)->text().isEmpty());
        changed = changed || quiz != first;
        EXPECT_EQ(sheet->words(), words);
        EXPECT_EQ(sheet->grid()->wordLabel(0)->text(), words[0]);
    }
    EXPECT_TRUE(changed) << "thirty draws of 3 out of 12 all the same";
    EXPECT_GE(seen.size(), 10u);
}

TEST_F(CreateSheetTest, AFailedCreationStaysOnTheQuizWithEverythingKeptAndCanBeRetried) {
    goToQuiz();
    answerAll();
    // the hidden vault directory is taken (by something that is not what a
    // stopped creation leaves): the library refuses before it makes anything
    fs::create_directory(root / ".V.hushcoffer");
    std::ofstream(root / ".V.hushcoffer" / "notes.txt") << "someone's";
    std::optional<bool> finished;
    QObject::connect(sheet.get(), &CreateSheet::creationFinished, [&](bool ok) { finished = ok; });
    const QString answer0 = sheet->answerField(0)->text();
    click(sheet->nextButton());
    // while it runs: no Cancel, no Back, no Finish, the spinner and a stage text
    if (!finished) {
        EXPECT_TRUE(sheet->progress());
        EXPECT_FALSE(sheet->cancelButton()->isEnabled());
        EXPECT_FALSE(sheet->backButton()->isVisible());
        EXPECT_FALSE(sheet->nextButton()->isEnabled());
        EXPECT_TRUE(sheet->spinner()->isVisible());
        sheet->reject(); // Escape does nothing while creating
        EXPECT_TRUE(sheet->isVisible());
    }
    ASSERT_TRUE(spinUntil([&] { return finished.has_value(); }, 30));
    EXPECT_FALSE(*finished);
    EXPECT_EQ(sheet->step(), CreateSheet::quiz);
    ASSERT_TRUE(sheet->error());
    EXPECT_EQ(*sheet->error(),
              describe(vaultkit::VaultError::alreadyExists((root / ".V.hushcoffer").string())));
    EXPECT_TRUE(sheet->errorLabel()->isVisible());
    EXPECT_FALSE(sheet->progress());
    EXPECT_FALSE(sheet->spinner()->isVisible());
    EXPECT_FALSE(sheet->progressLabel()->isVisible());
    EXPECT_TRUE(sheet->cancelButton()->isEnabled());
    EXPECT_TRUE(sheet->backButton()->isVisible());
    EXPECT_TRUE(sheet->nextButton()->isEnabled()) << "Finish can be pressed again";
    EXPECT_EQ(sheet->answerField(0)->text(), answer0);
    EXPECT_EQ(sheet->passwordField()->text(), "good password 1");
    EXPECT_EQ(sheet->confirmField()->text(), "good password 1");
    EXPECT_TRUE(model->vaults().empty());
    EXPECT_FALSE(model->message()) << "the error is shown in the sheet, not as a banner";
    EXPECT_FALSE(fs::exists(root / "V")) << "nothing left behind";

    // pressed again with the same conflict: the same error, still nothing else
    finished.reset();
    click(sheet->nextButton());
    ASSERT_TRUE(spinUntil([&] { return finished.has_value(); }, 30));
    EXPECT_FALSE(*finished);
    EXPECT_TRUE(sheet->error());
}

TEST_F(CreateSheetTest, CancelBeforeThePhraseClosesAtOnce) {
    sheet->nameField()->setText("V");
    click(sheet->nextButton());
    ASSERT_EQ(sheet->step(), CreateSheet::password);
    QTest::keyClick(sheet.get(), Qt::Key_Escape);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(sheet->discardAlert(), nullptr) << "nothing to lose yet";
    EXPECT_EQ(sheet->result(), QDialog::Rejected);
}

TEST_F(CreateSheetTest, LeavingAfterThePhraseWasShownAsksAndContinueKeepsEverything) {
    struct LeaveCase {
        const char* how;
        std::function<void()> leave;
    };
    const LeaveCase cases[] = {
        {"Escape", [&] { QTest::keyClick(sheet.get(), Qt::Key_Escape); }},
        {"Cancel", [&] { click(sheet->cancelButton()); }},
        {"the window's close button", [&] { sheet->close(); }},
    };
    goToQuiz();
    answerAll();
    const QString answer = sheet->answerField(0)->text();
    for (const auto& c : cases) {
        c.leave();
        QApplication::processEvents();
        ASSERT_NE(sheet->discardAlert(), nullptr) << c.how;
        EXPECT_TRUE(sheet->discardAlert()->isVisible()) << c.how;
        EXPECT_TRUE(sheet->isVisible()) << c.how << ": not closed before the answer";
        c.leave(); // asked once, not twice
        EXPECT_EQ(sheet->discardAlert()->findChildren<QPushButton*>().size(), 2) << c.how;
        // Escape in the alert is its safe answer
        QTest::keyClick(sheet->discardAlert(), Qt::Key_Escape);
        ASSERT_TRUE(spinUntil([&] { return sheet->discardAlert() == nullptr; })) << c.how;
        EXPECT_TRUE(sheet->isVisible()) << c.how;
        EXPECT_EQ(sheet->step(), CreateSheet::quiz) << c.how;
        EXPECT_EQ(sheet->answerField(0)->text(), answer) << c.how;
    }
}

TEST_F(CreateSheetTest, DiscardAfterThePhraseClosesWithoutWritingAnything) {
    goToQuiz();
    answerAll();
    click(sheet->cancelButton());
    ASSERT_NE(sheet->discardAlert(), nullptr);
    QPushButton* discard = nullptr;
    for (auto* b : sheet->discardAlert()->findChildren<QPushButton*>())
        if (b->text() == kx("create.discard")) discard = b;
    ASSERT_NE(discard, nullptr);
    EXPECT_NE(sheet->discardAlert()->defaultButton(), discard) << "the safe answer is the default";
    click(discard);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(sheet->result(), QDialog::Rejected);
    EXPECT_FALSE(fs::exists(root / "V"));
    EXPECT_FALSE(fs::exists(root / ".V.hushcoffer"));
}

TEST(CreateSheetDemo, DemoStepIsCreateFollowedByADecimalNumber) {
    struct DemoCase {
        const char* value;
        std::optional<int> step;
    };
    const DemoCase cases[] = {
        {"create0", 0},
        {"create2", 2},
        {"create3", 3},
        {"create02", 2},
        {"create9", 3},
        {"create", std::nullopt},
        {"create2x", std::nullopt},
        {"create-1", std::nullopt},
        {"create 2", std::nullopt},
        {"recover", std::nullopt},
        {"", std::nullopt},
        {"Create2", std::nullopt},
        {"create99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CreateSheet::demoStep(c.value), c.step) << c.value;
}

TEST(CreateSheetDemo, HCDemoOpensAtTheGivenStepWithPasswordAndQuizReady) {
    QTemporaryDir tmp;
    AppModel model(tmp.path());
    qputenv("HC_DEMO", "create2");
    CreateSheet sheet(&model);
    qunsetenv("HC_DEMO");
    EXPECT_EQ(sheet.step(), CreateSheet::phrase);
    EXPECT_EQ(sheet.passwordField()->text().size(), 13);
    EXPECT_EQ(sheet.passwordField()->text(), sheet.confirmField()->text());
    EXPECT_TRUE(sheet.wroteDownToggle()->isChecked());
    EXPECT_EQ(sheet.quizPositions().size(), 3u);
    EXPECT_EQ(sheet.stepsView()->current(), 2);
    EXPECT_EQ(sheet.stepsView()->mark(0), StepsView::Mark::done);
    EXPECT_EQ(sheet.stepsView()->mark(2), StepsView::Mark::current);
    EXPECT_EQ(sheet.stepsView()->mark(3), StepsView::Mark::todo);

    qputenv("HC_DEMO", "create");
    CreateSheet plain(&model);
    qunsetenv("HC_DEMO");
    EXPECT_EQ(plain.step(), CreateSheet::location);
    EXPECT_TRUE(plain.passwordField()->text().isEmpty());
    vaultkit::Vault::setBackupDirectory(std::nullopt);
}

TEST_F(CreateSheetTest, TheFolderChooserPicksFoldersStartingInTheParent) {
    std::unique_ptr<QFileDialog> chooser(sheet->makeParentChooser());
    EXPECT_EQ(chooser->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(chooser->testOption(QFileDialog::ShowDirsOnly));
    EXPECT_EQ(chooser->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(QDir(chooser->directory()).canonicalPath(), QDir(sheet->parentFolder()).canonicalPath());
    EXPECT_EQ(chooser->labelText(QFileDialog::Accept), kx("create.choosePrompt"));
}

TEST(PathLabel, AbbreviatesTheHomeFolderOnlyAtAFolderBoundary) {
    struct PathCase {
        const char* path;
        const char* home;
        const char* shown;
    };
    const PathCase cases[] = {
        {"/home/al", "/home/al", "~"},
        {"/home/al/Vaults/V", "/home/al", "~/Vaults/V"},
        {"/home/al/Vaults/V", "/home/al/", "~/Vaults/V"},
        {"/home/alice/V", "/home/al", "/home/alice/V"},
        {"/srv/V", "/home/al", "/srv/V"},
        {"/home/al/V", "/", "/home/al/V"},
        {"/home/al/V", "", "/home/al/V"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PathLabel::abbreviate(c.path, c.home), c.shown) << c.path << " " << c.home;
}

TEST(PathLabel, ALongPathIsShortenedInTheMiddle) {
    PathLabel label;
    const QString path =
        QDir::homePath() + "/" + QString("very long folder name ").repeated(8) + "/Last Folder";
    label.setPath(path);
    label.resize(260, 20);
    label.show();
    QApplication::processEvents();
    const QString shown = label.text();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith("~/")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("Folder")) << shown.toStdString();
    EXPECT_LE(label.fontMetrics().horizontalAdvance(shown), label.contentsRect().width());
    EXPECT_EQ(label.toolTip(), path);
    // wide enough: all of it
    label.resize(label.fontMetrics().horizontalAdvance(label.fullText()) + 20, 20);
    QApplication::processEvents();
    EXPECT_EQ(label.text(), label.fullText());
}

} // namespace
