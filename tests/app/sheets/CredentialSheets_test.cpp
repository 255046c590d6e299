// The credential and result sheets without mounts: their enabling rules, the
// completion pattern (busy, dismiss only on success, input kept), the
// recovery phrase feedback, the phrase sheet's Done and the import summary.
#include "app/model/AppModel.h"
#include "app/sheets/ChangePasswordSheet.h"
#include "app/sheets/ImportResultSheet.h"
#include "app/sheets/MnemonicGrid.h"
#include "app/sheets/MnemonicSheet.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/RecoverSheet.h"
#include "app/sheets/RecoveryPrint.h"
#include "app/widgets/StrengthBar.h"
#include "app/widgets/BusySpinner.h"
#include "kxui/kx.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QPrinter>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPdfWriter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <sys/stat.h>

namespace fs = std::filesystem;
using vaultkit::Mnemonic;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

// ---- Password prompt -----------------------------------------------------------

struct PendingAction {
    int calls = 0;
    QString password;
    std::function<void(bool)> done;
    PasswordPromptSheet::Action action() {
        return [this](const QString& p, std::function<void(bool)> d) {
            ++calls;
            password = p;
            done = std::move(d);
        };
    }
};

TEST(PasswordPromptSheet, OkIsDisabledWhileEmptyAndReturnInAnEmptyFieldDoesNothing) {
    PendingAction pending;
    PasswordPromptSheet sheet("Title", "A note", pending.action());
    sheet.show();
    EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
    EXPECT_FALSE(sheet.okButton()->isEnabled());
    QTest::keyClick(sheet.passwordField(), Qt::Key_Return);
    EXPECT_EQ(pending.calls, 0);
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(sheet.passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(sheet.passwordField()->placeholderText(), kx("unlock.placeholder"));
    EXPECT_EQ(sheet.width(), 420);
}

TEST(PasswordPromptSheet, AFailedActionKeepsThePromptOpenWithTheTextAndSuccessClosesIt) {
    PendingAction pending;
    PasswordPromptSheet sheet("Title", "A note", pending.action());
    sheet.show();
    QTest::keyClicks(sheet.passwordField(), "wrong one");
    EXPECT_TRUE(sheet.okButton()->isEnabled());
    QTest::keyClick(sheet.passwordField(), Qt::Key_Return); // Return runs OK
    ASSERT_EQ(pending.calls, 1);
    EXPECT_EQ(pending.password, "wrong one");
    EXPECT_TRUE(sheet.busy());
    EXPECT_FALSE(sheet.okButton()->isEnabled());
    EXPECT_TRUE(sheet.spinner()->isVisible());
    // while busy, neither Return nor OK starts a second run
    QTest::keyClick(sheet.passwordField(), Qt::Key_Return);
    sheet.go();
    EXPECT_EQ(pending.calls, 1);

    pending.done(false);
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_FALSE(sheet.busy());
    EXPECT_FALSE(sheet.spinner()->isVisible());
    EXPECT_EQ(sheet.passwordField()->text(), "wrong one");
    EXPECT_TRUE(sheet.okButton()->isEnabled());

    QTest::mouseClick(sheet.okButton(), Qt::LeftButton);
    ASSERT_EQ(pending.calls, 2);
    pending.done(true);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_FALSE(sheet.busy());
}

TEST(PasswordPromptSheet, CancelNeverCallsTheActionAndALateAnswerIsHarmless) {
    PendingAction pending;
    auto* sheet = new PasswordPromptSheet("Title", "A note", pending.action());
    sheet->show();
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(pending.calls, 0);

    sheet->show();
    sheet->passwordField()->setText("pw");
    sheet->go();
    delete sheet; // the window went away while the model works
    pending.done(true);
}

// ---- Change password ------------------------------------------------------------

TEST(ChangePasswordSheet, ActionNeedsTheOldPasswordAndEightMatchingCharacters) {
    ChangePasswordSheet sheet(nullptr, nullptr);
    struct ChangeCase {
        const char* old;
        QString fresh;
        QString confirm;
        bool enabled;
    };
    const ChangeCase cases[] = {
        {"", "", "", false},
        {"old", "abcdefg", "abcdefg", false},   // 7 characters
        {"", "abcdefgh", "abcdefgh", false},    // no old password
        {"old", "abcdefgh", "abcdefgH", false}, // mismatch
        {"old", "abcdefgh", "abcdefgh", true},
        {"old", QString::fromUtf8("e\xCC\x81").repeated(7), QString::fromUtf8("e\xCC\x81").repeated(7),
         false},
        {"old", QString::fromUtf8("\xF0\x9F\x94\x91").repeated(8),
         QString::fromUtf8("\xF0\x9F\x94\x91").repeated(8), true},
    };
    for (const auto& c : cases) {
        sheet.oldField()->setText(c.old);
        sheet.newField()->setText(c.fresh);
        sheet.confirmField()->setText(c.confirm);
        EXPECT_EQ(sheet.actionButton()->isEnabled(), c.enabled) << c.old << " " << c.fresh.toStdString();
    }
    // the meter rates the new password as it is typed
    sheet.newField()->setText("Abcdefgh1!");
    EXPECT_EQ(sheet.strengthBar()->score(), 5);
    sheet.newField()->setText("abc");
    EXPECT_LE(sheet.strengthBar()->score(), 1);
    for (auto* f : {sheet.oldField(), sheet.newField(), sheet.confirmField()})
        EXPECT_EQ(f->echoMode(), QLineEdit::Password);
}

// ---- Recovery --------------------------------------------------------------------

class RecoverSheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = "V";
        const auto key = phrase.recoveryKey().publicKey();
        config.recoveryPublicKey.assign(key.raw.begin(), key.raw.end());
        vault = std::make_shared<Vault>(fs::path(tmp.path().toStdString()) / ".V.hushcoffer", config);
        sheet = std::make_unique<RecoverSheet>(nullptr, vault);
        sheet->show();
    }
    QString words(const Mnemonic& m, const QString& separator = " ") const {
        QStringList out;
        for (const auto& w : m.words())
            out << QString::fromStdString(w);
        return out.join(separator);
    }

    QTemporaryDir tmp;
    Mnemonic phrase = Mnemonic::generate();
    std::shared_ptr<Vault> vault;
    std::unique_ptr<RecoverSheet> sheet;
};

TEST_F(RecoverSheetTest, FeedbackCountsWordsAndTellsThisVaultsPhraseFromOthers) {
    EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::count);
    EXPECT_EQ(sheet->feedbackLabel()->text(), kx("recover.count", 0));

    const QStringList all = words(phrase).split(' ');
    sheet->phraseEditor()->setPlainText(all.mid(0, 11).join(' '));
    EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::count);
    EXPECT_EQ(sheet->feedbackLabel()->text(), kx("recover.count", 11));
    EXPECT_TRUE(sheet->feedbackSymbol()->isHidden());

    // twelve words of another phrase
    Mnemonic other = Mnemonic::generate();
    sheet->phraseEditor()->setPlainText(words(other));
    EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::wrong);
    EXPECT_EQ(sheet->feedbackLabel()->text(), kx("recover.bad"));
    EXPECT_FALSE(sheet->feedbackSymbol()->isHidden());
    // twelve words that are no phrase at all
    sheet->phraseEditor()->setPlainText(QString("word ").repeated(12));
    EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::wrong);
    // thirteen words
    sheet->phraseEditor()->setPlainText(words(phrase) + " extra");
    EXPECT_EQ(sheet->feedbackLabel()->text(), kx("recover.count", 13));

    // this vault's phrase in any spacing and line layout
    const QString layouts[] = {
        words(phrase),
        "  " + words(phrase, "\n") + "\n\n",
        words(phrase, "\t \t"),
        all.mid(0, 6).join(' ') + "\r\n" + all.mid(6).join("   "),
        words(phrase, QString(QChar(0x2003))), // em space
    };
    for (const auto& text : layouts) {
        sheet->phraseEditor()->setPlainText(text);
        EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::matches) << text.toStdString();
        EXPECT_EQ(sheet->feedbackLabel()->text(), kx("recover.ok"));
    }
}

TEST(RecoverSheetWords, WordsAreRunsOfNonWhiteSpace) {
    struct CountCase {
        QString text;
        int words;
    };
    const CountCase cases[] = {
        {"", 0},
        {"   ", 0},
        {"a", 1},
        {" a  b ", 2},
        {"a\nb\r\nc", 3},
        {"a\tb", 2},
        {"a,b", 1},
        {QString("a") + QChar(0x00A0) + "b", 2},
        {QString("a") + QChar(0x2028) + "b", 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RecoverSheet::wordCount(c.text), c.words) << c.text.toStdString();
}

TEST_F(RecoverSheetTest, AWordNotInTheListIsMarkedAndItsCompletionOffered) {
    struct MarkCase {
        QString text;
        QStringList unknown; // marked and named
        QString offered;     // on the button; empty: no button
    };
    const MarkCase cases[] = {
        {"chickn ", {"chickn"}, "chicken"},
        {"abandon chickn zoo", {"chickn"}, "chicken"},
        {"Chicken zoo", {}, ""},              // case does not matter
        {"chic", {}, "chicken"},              // being typed: not marked, but completed
        {"ab", {}, ""},                       // several words start so
        {"xqzt ab ", {"xqzt", "ab"}, ""},     // nothing fits either
        {"chick3n\tabandn\n", {"chick3n", "abandn"}, "abandon"}, // the first that fits
    };
    for (const auto& c : cases) {
        sheet->phraseEditor()->setPlainText(c.text);
        const std::string what = c.text.toStdString();
        EXPECT_EQ(sheet->unknownWords(), c.unknown) << what;
        EXPECT_EQ(sheet->phraseEditor()->extraSelections().size(), c.unknown.size()) << what;
        EXPECT_EQ(sheet->unknownLabel()->isHidden(), c.unknown.isEmpty()) << what;
        if (!c.unknown.isEmpty()) {
            EXPECT_EQ(sheet->unknownLabel()->text(), kx("recover.unknown", c.unknown.join(", "))) << what;
        }
        EXPECT_EQ(sheet->offeredWord(), c.offered) << what;
        EXPECT_EQ(sheet->completionButton()->isHidden(), c.offered.isEmpty()) << what;
        if (!c.offered.isEmpty()) {
            EXPECT_EQ(sheet->completionButton()->text(), kx("recover.useWord", c.offered)) << what;
        }
    }
    // the mark covers the mistyped word exactly
    sheet->phraseEditor()->setPlainText("abandon chickn zoo");
    ASSERT_EQ(sheet->phraseEditor()->extraSelections().size(), 1);
    EXPECT_EQ(sheet->phraseEditor()->extraSelections()[0].cursor.selectedText(), "chickn");
    QTest::mouseClick(sheet->completionButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->phraseEditor()->toPlainText(), "abandon chicken zoo");
    EXPECT_TRUE(sheet->unknownWords().isEmpty());
    EXPECT_TRUE(sheet->completionButton()->isHidden());
}

TEST_F(RecoverSheetTest, CompletingAMistypedWordOfThisVaultsPhraseMakesItMatch) {
    QStringList typed;
    for (const auto& w : phrase.words())
        typed << QString::fromStdString(w);
    // one word of four letters or more, mistyped after its fourth letter
    const auto it = std::find_if(typed.begin(), typed.end(), [](const QString& w) { return w.size() >= 4; });
    ASSERT_NE(it, typed.end());
    const QString right = *it;
    *it = right.left(4) + "qq";
    sheet->phraseEditor()->setPlainText(typed.join(' '));
    EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::wrong);
    EXPECT_EQ(sheet->unknownWords(), QStringList{right.left(4) + "qq"});
    EXPECT_EQ(sheet->offeredWord(), right);
    QTest::mouseClick(sheet->completionButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->feedback(), RecoverSheet::Feedback::matches);
    EXPECT_TRUE(sheet->unknownLabel()->isHidden());
}

TEST_F(RecoverSheetTest, ActionNeedsThisVaultsPhraseAndEightMatchingCharacters) {
    sheet->passwordField()->setText("abcdefgh");
    sheet->confirmField()->setText("abcdefgh");
    EXPECT_FALSE(sheet->actionButton()->isEnabled()) << "no phrase";
    sheet->phraseEditor()->setPlainText(words(Mnemonic::generate()));
    EXPECT_FALSE(sheet->actionButton()->isEnabled()) << "another vault's phrase";
    sheet->phraseEditor()->setPlainText(words(phrase, "\n"));
    EXPECT_TRUE(sheet->actionButton()->isEnabled());
    sheet->confirmField()->setText("abcdefgH");
    EXPECT_FALSE(sheet->actionButton()->isEnabled()) << "mismatch";
    sheet->passwordField()->setText("abcdefg");
    sheet->confirmField()->setText("abcdefg");
    EXPECT_FALSE(sheet->actionButton()->isEnabled()) << "7 characters";
    EXPECT_LE(sheet->strengthBar()->score(), 1);
}

// ---- New phrase --------------------------------------------------------------------

TEST(MnemonicSheet, DoneIsDisabledUntilTheToggleAndThereIsNoWayOutButDone) {
    const Mnemonic m = Mnemonic::generate();
    int doneCalls = 0;
    MnemonicSheet sheet(kx("mnemonic.newTitle", "V"), m, [&] { ++doneCalls; });
    sheet.show();
    ASSERT_EQ(sheet.grid()->words().size(), 12);
    EXPECT_EQ(sheet.grid()->wordLabel(0)->text(), QString::fromStdString(m.words()[0]));
    EXPECT_FALSE(sheet.doneButton()->isEnabled());
    EXPECT_TRUE(sheet.findChildren<QPushButton*>().size() == 2) << "Print and Done, no Cancel";
    EXPECT_TRUE(sheet.printButton()->isVisible());
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_TRUE(sheet.isVisible());
    sheet.close();
    EXPECT_TRUE(sheet.isVisible());
    QTest::mouseClick(sheet.doneButton(), Qt::LeftButton);
    EXPECT_EQ(doneCalls, 0);

    sheet.wroteToggle()->setChecked(true);
    EXPECT_TRUE(sheet.doneButton()->isEnabled());
    sheet.wroteToggle()->setChecked(false);
    EXPECT_FALSE(sheet.doneButton()->isEnabled());
    sheet.wroteToggle()->setChecked(true);
    QTest::mouseClick(sheet.doneButton(), Qt::LeftButton);
    EXPECT_EQ(doneCalls, 1);
    EXPECT_FALSE(sheet.isVisible());
}

TEST(RecoveryPrint, APrintedFileGoesToTheDocumentsFolderAndOnlyItsOwnerCanReadIt) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const RecoveryPrint::Content content{"Tax/Papers", QDate(2025, 3, 14), QStringList(12, "word")};
    const QString offered = RecoveryPrint::defaultFile(content, tmp.path());
    EXPECT_EQ(QFileInfo(offered).dir().path(), tmp.path());
    EXPECT_EQ(QFileInfo(offered).fileName(), "Tax-Papers \u2013 " + kx("print.heading") + ".pdf");
    EXPECT_NE(QFileInfo(offered).fileName(), "print.pdf");

    const mode_t oldMask = ::umask(022); // the usual one: new files readable by all
    struct PrivateCase {
        const char* what;
        bool existsBefore;
    };
    for (const PrivateCase c : {PrivateCase{"a new file", false}, PrivateCase{"a file there before", true}}) {
        const QString file = tmp.filePath(QString::fromLatin1(c.what) + ".pdf");
        if (c.existsBefore) {
            QFile before(file);
            ASSERT_TRUE(before.open(QIODevice::WriteOnly));
            before.write("old");
            before.close();
            ASSERT_TRUE(before.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadOther | QFileDevice::ReadGroup));
        }
        ASSERT_TRUE(RecoveryPrint::makePrivateFile(file)) << c.what;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(file);
        ASSERT_TRUE(RecoveryPrint::printTo(printer, content)) << c.what;
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << c.what;
        QFile written(file);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_TRUE(written.readAll().startsWith("%PDF")) << c.what;
    }
    ::umask(oldMask);
    // a link planted under the name is not followed
    const QString link = tmp.filePath("link.pdf");
    ASSERT_TRUE(QFile::link(tmp.filePath("elsewhere"), link));
    EXPECT_FALSE(RecoveryPrint::makePrivateFile(link));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("elsewhere")));
}

// ---- Import summary ------------------------------------------------------------------

class ImportResultSheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        model = std::make_unique<AppModel>(tmp.path());
    }
    void TearDown() override {
        model.reset();
        Vault::setBackupDirectory(std::nullopt);
    }
    static vaultkit::Importer::Result result(const std::string& source, int problems, std::int64_t files = 3,
                                             std::int64_t bytes = 2048) {
        vaultkit::Importer::Result r;
        r.source = source;
        r.files = files;
        r.bytes = bytes;
        for (int i = 0; i < problems; ++i)
            r.problems.push_back("problem " + std::to_string(i + 1));
        return r;
    }
    QTemporaryDir tmp;
    std::unique_ptr<AppModel> model;
};

TEST_F(ImportResultSheetTest, WhenEverythingFailedOnlyKeepIsOffered) {
    std::vector<vaultkit::Importer::Result> results{result("/a/One", 1), result("/a/Two", 2)};
    model->setImportResults(ImportBatch(results));
    ImportResultSheet sheet(model.get(), results);
    sheet.show();
    EXPECT_EQ(sheet.okCount(), 0);
    EXPECT_EQ(sheet.trashButton(), nullptr);
    ASSERT_NE(sheet.keepButton(), nullptr);
    EXPECT_EQ(sheet.keepButton()->text(), kx("import.keep"));
    QTest::mouseClick(sheet.keepButton(), Qt::LeftButton);
    EXPECT_FALSE(model->importResults()) << "Keep clears the results";
    EXPECT_FALSE(sheet.isVisible());
}

TEST_F(ImportResultSheetTest, ThreeOfFourOkOfferTrashWithThreeAndRowsShowNameStatsAndProblems) {
    std::vector<vaultkit::Importer::Result> results{result("/a/Photos", 0, 120, 5'300'000),
                                                    result("/a/b.txt", 0, 1, 0), result("/a/Broken", 2),
                                                    result("/a/Music/", 0)};
    ImportResultSheet sheet(model.get(), results);
    sheet.show();
    EXPECT_EQ(sheet.okCount(), 3);
    ASSERT_NE(sheet.trashButton(), nullptr);
    EXPECT_EQ(sheet.trashButton()->text(), kx("import.trash", 3));
    EXPECT_EQ(sheet.nameLabel(0)->text(), "Photos");
    EXPECT_EQ(sheet.nameLabel(1)->text(), "b.txt");
    EXPECT_EQ(sheet.statsLabel(0)->text(),
              kx("import.stats", 120, QLocale().formattedDataSize(5'300'000, 1, QLocale::DataSizeSIFormat)));
    EXPECT_EQ(sheet.problemLabels(0).size(), 0);
    ASSERT_EQ(sheet.problemLabels(2).size(), 2);
    EXPECT_EQ(sheet.problemLabels(2)[1]->text(), "problem 2");
    EXPECT_GE(sheet.list()->minimumHeight(), 160);
    EXPECT_GE(sheet.width(), 560);
}

TEST_F(ImportResultSheetTest, ARowShowsTheNameTheItemGotAndCountsFilesAndFoldersApart) {
    struct RowCase {
        const char* source;
        const char* destination;
        std::int64_t files;
        std::int64_t folders;
        QString name;
        QString stats;
    };
    const QString size = QLocale().formattedDataSize(2048, 1, QLocale::DataSizeSIFormat);
    const RowCase cases[] = {
        // a second "notes.txt" is stored beside the first
        {"/home/u/notes.txt", "/vault/notes 2.txt", 1, 0, "notes 2.txt", kx("import.stats", 1, size)},
        // two files and one sub-folder: two files, one folder
        {"/home/u/Album", "/vault/Album", 2, 1, "Album", kx("import.statsFolders", 2, 1, size)},
        {"/home/u/Album/", "/vault/Album 2", 2, 1, "Album 2", kx("import.statsFolders", 2, 1, size)},
        {"/home/u/Empty", "/vault/Empty", 0, 0, "Empty", kx("import.stats", 0, size)},
        // nothing arrived to be named
        {"/", "/vault", 0, 0, "/", kx("import.stats", 0, size)},
    };
    for (const auto& c : cases) {
        auto r = result(c.source, 0, c.files);
        r.destination = c.destination;
        r.folders = c.folders;
        EXPECT_EQ(ImportResultSheet::shownName(r), c.name) << c.source;
        EXPECT_EQ(ImportResultSheet::statsText(r), c.stats) << c.source;
        ImportResultSheet sheet(model.get(), {r});
        EXPECT_EQ(sheet.nameLabel(0)->text(), c.name) << c.source;
        EXPECT_EQ(sheet.nameLabel(0)->toolTip(), QString::fromLatin1(c.source)) << "where it came from";
        EXPECT_EQ(sheet.statsLabel(0)->text(), c.stats) << c.source;
    }
}

TEST_F(ImportResultSheetTest, AResultWithSevenProblemsListsOnlyTheFirstFive) {
    std::vector<vaultkit::Importer::Result> results{result("/a/Many", 7)};
    ImportResultSheet sheet(model.get(), results);
    const auto problems = sheet.problemLabels(0);
    ASSERT_EQ(problems.size(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(problems[i]->text(), QString("problem %1").arg(i + 1));
}

TEST_F(ImportResultSheetTest, TrashHandsTheListToTheModelWhichClosesTheSummary) {
    // sources that do not exist: the model's Trash request moves nothing here
    std::vector<vaultkit::Importer::Result> results{result("/nonexistent/hc-a", 1),
                                                    result("/nonexistent/hc-b", 1)};
    model->setImportResults(ImportBatch(results));
    ImportResultSheet failed(model.get(), results);
    EXPECT_EQ(failed.trashButton(), nullptr);
    // with one complete result the button offers that one
    results[1].problems.clear();
    ImportResultSheet one(model.get(), results);
    one.show();
    ASSERT_NE(one.trashButton(), nullptr);
    EXPECT_EQ(one.trashButton()->text(), kx("import.trash", 1));
    QTest::mouseClick(one.trashButton(), Qt::LeftButton);
    EXPECT_FALSE(model->importResults()) << "cleared at once, before the Trash answers";
    EXPECT_FALSE(one.isVisible());
}

TEST_F(ImportResultSheetTest, EscapeKeepsTheOriginalsLikeKeep) {
    std::vector<vaultkit::Importer::Result> results{result("/nonexistent/hc-a", 0)};
    model->setImportResults(ImportBatch(results));
    ImportResultSheet sheet(model.get(), results);
    sheet.show();
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_FALSE(model->importResults());
}

// ---- Printing ----------------------------------------------------------------------------

TEST(RecoveryPrint, OnePageWithNameDateTheNumberedWordsAndHowToUseThem) {
    const Mnemonic m = Mnemonic::generate();
    QStringList words;
    for (const auto& w : m.words())
        words << QString::fromStdString(w);
    const RecoveryPrint::Content content{"Tax Papers", QDate(2025, 3, 14), words};
    const QStringList lines = RecoveryPrint::lines(content);
    EXPECT_EQ(lines.filter("Tax Papers").size(), 1);
    EXPECT_EQ(lines.filter(QLocale().toString(QDate(2025, 3, 14), QLocale::LongFormat)).size(), 1);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(lines.contains(QString("%1. %2").arg(i + 1).arg(words[i])));
    EXPECT_TRUE(lines.contains(kx("print.howto")));

    // drawn on a page: everything inside it, nothing on a second page
    QTemporaryDir tmp;
    const QString file = tmp.filePath("sheet.pdf");
    {
        QPdfWriter pdf(file);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        QPainter painter(&pdf);
        RecoveryPrint::render(painter, QRectF(0, 0, pdf.width(), pdf.height()), content);
    }
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray pdfBytes = f.readAll();
    EXPECT_TRUE(pdfBytes.startsWith("%PDF"));
    EXPECT_EQ(pdfBytes.count("/Type /Page\n") + pdfBytes.count("/Type /Page\r") +
                  pdfBytes.count("/Type /Page "),
              1);

    // the drawing stays inside the page: render onto an image with a margin
    // of another colour and look for ink outside the page rectangle
    QImage image(800, 1131, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        RecoveryPrint::render(painter, QRectF(40, 40, 720, 1051), content);
    }
    int outside = 0, inside = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool ink = image.pixel(x, y) != qRgb(255, 255, 255);
            const bool in = x >= 40 && x < 760 && y >= 40 && y < 1091;
            (in ? inside : outside) += ink ? 1 : 0;
        }
    EXPECT_EQ(outside, 0);
    EXPECT_GT(inside, 1000);
}

} // namespace
