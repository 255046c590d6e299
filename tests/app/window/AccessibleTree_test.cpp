// The accessible tree a screen reader sees of the main window and of every
// sheet, walked through QAccessible as assistive technologies do: every
// control that takes the focus has a name, and no two visible siblings share
// one. Then the names and roles that matter most, one by one: the password
// and name fields, the quiz's fields and marks, the banner as an alert with
// a named close button, the vault list and its items saying locked or
// unlocked, the pickers named by what they choose, the steps and the
// strength bar.
#include "app/desktop/IdleSource.h"
#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "app/sheets/ChangePasswordSheet.h"
#include "app/sheets/DataCheckSheet.h"
#include "app/sheets/ImportResultSheet.h"
#include "app/sheets/MnemonicGrid.h"
#include "app/sheets/MnemonicSheet.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/RecoverSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/sheets/create/CreateSheet.h"
#include "app/sheets/create/StepsView.h"
#include "app/widgets/StrengthBar.h"
#include "app/window/BannerView.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "app/window/detail/AutoLockCard.h"
#include "kxui/KXAccess.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

using uitest::spinUntil;

constexpr const char* rightPassword = "right password";

QString nameOf(QAccessibleInterface* iface) {
    return iface->text(QAccessible::Name).trimmed();
}

QString describe(QAccessibleInterface* iface) {
    QObject* o = iface->object();
    QString what = o ? QString::fromLatin1(o->metaObject()->className()) : QStringLiteral("item");
    if (o && !o->objectName().isEmpty()) what += QLatin1Char('#') + o->objectName();
    return what + QStringLiteral(" (role %1)").arg(static_cast<int>(iface->role()));
}

// What a screen reader would trip over below `iface`: focusable controls
// without a name, visible siblings sharing one.
void walk(QAccessibleInterface* iface, const QString& path, QStringList& problems) {
    std::map<QString, QString> seen; // name -> the first sibling with it
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        if (!child || !child->isValid()) continue;
        const QAccessible::State state = child->state();
        if (state.invisible || state.offscreen) continue;
        const QString here = path + QStringLiteral(" > ") + describe(child);
        const QString name = nameOf(child);
        if (state.focusable && name.isEmpty())
            problems << here + QStringLiteral(": focusable without a name");
        if (state.focusable && !name.isEmpty()) {
            auto [it, fresh] = seen.emplace(name, here);
            if (!fresh)
                problems << here + QStringLiteral(": same name as its sibling ") + it->second +
                                QStringLiteral(" (\"") + name + QStringLiteral("\")");
        }
        walk(child, here, problems);
    }
}

QStringList problemsOf(QWidget* top) {
    QApplication::processEvents();
    QStringList problems;
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(top);
    if (!iface) return {QStringLiteral("no accessible interface")};
    walk(iface, describe(iface), problems);
    return problems;
}

#define EXPECT_ACCESSIBLE(widget, screen)                                                                    \
    do {                                                                                                     \
        for (const QString& p : problemsOf(widget))                                                          \
            ADD_FAILURE() << (screen) << ": " << p.toStdString();                                            \
    } while (0)

QAccessibleInterface* accessible(QObject* o) {
    return QAccessible::queryAccessibleInterface(o);
}

// An idle source that always answers (or never does).
class AnsweringIdle final : public IdleSource {
public:
    explicit AnsweringIdle(std::optional<double> seconds)
        : seconds_(seconds) {}
    QString name() const override { return QStringLiteral("test idle"); }
    void idleSeconds(Answer answer) override { answer(seconds_); }

private:
    std::optional<double> seconds_;
};

class AccessibleTree : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("config"))));
        driver_ = std::make_shared<uitest::MemoryDiskImage>(rightPassword);
        previousHooks_ = SheetPresenter::hooks();
        SheetPresenter::installStandard();
    }
    void TearDown() override {
        model_.reset();
        SheetPresenter::hooks() = previousHooks_;
    }

    AppModel& model(std::optional<double> idleAnswer = std::nullopt) {
        if (!model_) {
            EventSources sources;
            sources.idle.push_back(std::make_unique<AnsweringIdle>(idleAnswer));
            model_ = std::make_unique<AppModel>(dir_.filePath(QStringLiteral("support")), std::move(sources));
        }
        return *model_;
    }

    std::shared_ptr<Vault> addVault(const std::string& name, int idleMinutes = 0) {
        const fs::path parent = fs::path(dir_.path().toStdString()) / "vaults";
        fs::create_directories(parent);
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        config.autoLock.idleMinutes = idleMinutes;
        const fs::path vaultDir = parent / ("." + name + ".hushcoffer");
        fs::create_directories(vaultDir);
        auto vault = std::make_shared<Vault>(vaultDir, config, driver_);
        model().registerVault(vault);
        return vault;
    }

    bool unlockNow(const std::shared_ptr<Vault>& vault) {
        std::optional<bool> result;
        model().unlock(vault, QString::fromLatin1(rightPassword), [&](bool ok) { result = ok; });
        return spinUntil([&] { return result.has_value(); }) && *result;
    }

    QTemporaryDir dir_;
    std::shared_ptr<uitest::MemoryDiskImage> driver_;
    std::unique_ptr<AppModel> model_;
    SheetPresenter::Hooks previousHooks_;
};

} // namespace

// ---- The whole tree ---------------------------------------------------------------------

TEST_F(AccessibleTree, TheMainWindowInEachStateHasANameForEveryControlAndNoTwinSiblings) {
    MainWindow window(&model(), QStringLiteral("Hushcoffer"), {[] {}, [] {}, [] {}, [] {}, [] {}, {}});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_ACCESSIBLE(&window, "no vaults");

    auto locked = addVault("Locked One");
    auto open = addVault("Open One");
    ASSERT_TRUE(unlockNow(open));
    model().setSelection(locked->config().id);
    model().setMessage(Banner(kx("err.wrongPassword"), true));
    QApplication::processEvents();
    EXPECT_ACCESSIBLE(&window, "a locked vault with an error banner");

    model().setSelection(open->config().id);
    QApplication::processEvents();
    EXPECT_ACCESSIBLE(&window, "an unlocked vault");
}

TEST_F(AccessibleTree, EverySheetHasANameForEveryControlAndNoTwinSiblings) {
    auto vault = addVault("Sheets");
    QWidget parent;

    CreateSheet create(&model(), &parent);
    create.setDiskImage(driver_);
    create.setParentFolder(dir_.path());
    create.show();
    EXPECT_ACCESSIBLE(&create, "create: location");
    create.next();
    ASSERT_EQ(create.step(), CreateSheet::password);
    create.passwordField()->setText(QStringLiteral("a long enough password"));
    create.confirmField()->setText(QStringLiteral("a long enough password"));
    EXPECT_ACCESSIBLE(&create, "create: password");
    create.next();
    ASSERT_EQ(create.step(), CreateSheet::phrase);
    EXPECT_ACCESSIBLE(&create, "create: phrase");
    create.wroteDownToggle()->setChecked(true);
    create.next();
    ASSERT_EQ(create.step(), CreateSheet::quiz);
    create.answerField(0)->setText(QStringLiteral("wrong"));
    EXPECT_ACCESSIBLE(&create, "create: quiz");

    PasswordPromptSheet prompt(
        kx("touchid.enableTitle"), kx("touchid.enableNote"),
        [](const QString&, std::function<void(bool)> done) { done(true); }, &parent);
    prompt.show();
    EXPECT_ACCESSIBLE(&prompt, "password prompt");

    ChangePasswordSheet change(&model(), vault, &parent);
    change.show();
    EXPECT_ACCESSIBLE(&change, "change password");

    RecoverSheet recover(&model(), vault, &parent);
    recover.show();
    EXPECT_ACCESSIBLE(&recover, "recover");

    MnemonicSheet mnemonic(kx("mnemonic.newTitle", QStringLiteral("Sheets")), vaultkit::Mnemonic::generate(),
                           {}, &parent);
    mnemonic.show();
    EXPECT_ACCESSIBLE(&mnemonic, "new recovery phrase");

    vaultkit::Importer::Result good;
    good.source = "/tmp/a.txt";
    good.destination = "/tmp/vault/a.txt";
    good.files = 1;
    vaultkit::Importer::Result bad = good;
    bad.source = "/tmp/b.txt";
    bad.problems = {"b.txt: size differs"};
    ImportResultSheet imported(&model(), {good, bad}, &parent);
    imported.show();
    EXPECT_ACCESSIBLE(&imported, "import results");

    DataCheckSheet check(DataCheckReport(QStringLiteral("Sheets"), {QStringLiteral("x/y.txt")}, 2), &parent);
    check.show();
    EXPECT_ACCESSIBLE(&check, "data check");
}

// ---- Names and roles, one by one --------------------------------------------------------

TEST_F(AccessibleTree, TheQuizFieldsAreNamedByTheirLabelsAndTheirMarksSayRightOrWrong) {
    CreateSheet create(&model());
    create.setDiskImage(driver_);
    create.setParentFolder(dir_.path());
    create.show();
    create.makeQuiz();
    for (int i = 0; i < 3; ++i) {
        QLineEdit* field = create.answerField(i);
        const QString label = kx("create.wordN", create.quizPositions()[static_cast<std::size_t>(i)] + 1);
        EXPECT_EQ(create.wordLabel(i)->buddy(), field) << "clicking the label focuses its field";
        EXPECT_EQ(nameOf(accessible(field)), label);
        EXPECT_TRUE(nameOf(accessible(create.answerMark(i))).isEmpty()) << "nothing typed: no mark";
    }
    const QStringList words = create.words();
    const int first = create.quizPositions()[0];
    create.answerField(0)->setText(words[first]);
    create.answerField(1)->setText(words[first] + QStringLiteral("x"));
    EXPECT_EQ(nameOf(accessible(create.answerMark(0))), kx("create.quizRight"));
    EXPECT_EQ(accessible(create.answerField(0))->text(QAccessible::Description), kx("create.quizRight"));
    EXPECT_EQ(nameOf(accessible(create.answerMark(1))), kx("create.quizWrong"));
    EXPECT_EQ(accessible(create.answerField(1))->text(QAccessible::Description), kx("create.quizWrong"));
    create.answerField(1)->clear();
    EXPECT_TRUE(nameOf(accessible(create.answerMark(1))).isEmpty());
}

TEST_F(AccessibleTree, TheCreationSheetNamesItsFieldsItsStepAndItsStrengthBar) {
    CreateSheet create(&model());
    create.setParentFolder(dir_.path());
    create.show();
    EXPECT_EQ(nameOf(accessible(create.nameField())), kx("create.name"));
    EXPECT_EQ(nameOf(accessible(create.stepsView())), kx("create.stepOf", 1, 4, kx("create.s1")));
    create.next();
    EXPECT_EQ(nameOf(accessible(create.stepsView())), kx("create.stepOf", 2, 4, kx("create.s2")));
    EXPECT_EQ(nameOf(accessible(create.passwordField())), kx("create.pw"));
    EXPECT_EQ(nameOf(accessible(create.confirmField())), kx("create.pw2"));
    auto* bar = create.strengthBar()->findChild<QProgressBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(nameOf(accessible(bar)), kx("strength.title"));
    create.passwordField()->setText(QStringLiteral("correct horse battery staple 42"));
    EXPECT_EQ(accessible(bar)->text(QAccessible::Description), create.strengthBar()->caption());
}

TEST_F(AccessibleTree, TheRecoveryPhraseGridIsReachedByTabAndCopiesThePhrase) {
    MnemonicSheet sheet(QStringLiteral("Phrase"), vaultkit::Mnemonic::generate(), {});
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    auto* grid = sheet.findChild<MnemonicGrid*>();
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(nameOf(accessible(grid)), kx("create.s3"));
    // the description reads the words in order, with their numbers
    EXPECT_TRUE(
        accessible(grid)->text(QAccessible::Description).startsWith(QStringLiteral("1 ") + grid->words()[0]));
    // Tab alone reaches the grid, from wherever the focus starts
    bool reached = false;
    for (int i = 0; i < 40 && !reached; ++i) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &sheet, Qt::Key_Tab);
        reached = QApplication::focusWidget() == grid;
    }
    ASSERT_TRUE(reached) << "Tab never reached the recovery phrase grid";
    QTest::keyClick(grid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), grid->words().join(QLatin1Char(' ')));
}

TEST_F(AccessibleTree, TheBannerIsAnAlertNamedByItsTextWithANamedCloseButton) {
    RootView root(&model());
    root.show();
    model().setMessage(Banner(kx("err.wrongPassword"), true));
    auto* banner = root.findChild<BannerView*>();
    ASSERT_NE(banner, nullptr);
    ASSERT_TRUE(banner->isVisible());
    QAccessibleInterface* iface = accessible(banner);
    EXPECT_EQ(iface->role(), QAccessible::AlertMessage);
    EXPECT_EQ(nameOf(iface), kx("err.wrongPassword"));
    EXPECT_EQ(nameOf(accessible(banner->closeButton())), kx("banner.close"));
    // a newer banner in its place renames the alert
    model().setMessage(Banner(kx("ok.passwordChanged"), false));
    EXPECT_EQ(nameOf(accessible(banner)), kx("ok.passwordChanged"));
}

TEST_F(AccessibleTree, TheVaultListIsNamedAndItsItemsSayLockedOrUnlocked) {
    auto locked = addVault("Alpha");
    auto open = addVault("Beta");
    ASSERT_TRUE(unlockNow(open));
    RootView root(&model());
    root.show();
    model().bump();
    auto* list = root.findChild<QListWidget*>(QStringLiteral("vaultList"));
    ASSERT_NE(list, nullptr);
    QAccessibleInterface* iface = accessible(list);
    EXPECT_EQ(nameOf(iface), KXAccess::plainText(kx("sidebar.vaults")));
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->item(i)->data(Qt::AccessibleTextRole).toString();
    EXPECT_EQ(items, (QStringList{QStringLiteral("Alpha, ") + kx("status.locked"),
                                  QStringLiteral("Beta, ") + kx("status.unlocked")}));
    // the cells of the list's accessible table carry those names
    QStringList cells;
    for (int i = 0; i < iface->childCount(); ++i)
        if (QAccessibleInterface* c = iface->child(i); c && c->role() == QAccessible::ListItem)
            cells << nameOf(c);
    EXPECT_EQ(cells, items);
    // the state follows the vault
    model().lock(open, false);
    ASSERT_TRUE(spinUntil([&] {
        return list->item(1)->data(Qt::AccessibleTextRole).toString() ==
               QStringLiteral("Beta, ") + kx("status.locked");
    }));
}

TEST_F(AccessibleTree, ThePickersAreNamedByWhatTheyChooseAndThePasswordFieldByItsPurpose) {
    auto vault = addVault("Picks");
    VaultDetail locked(&model(), vault);
    locked.show();
    EXPECT_EQ(nameOf(accessible(locked.findChild<QLineEdit*>())), kx("unlock.placeholder"));
    ASSERT_TRUE(unlockNow(vault));
    VaultDetail detail(&model(), vault);
    detail.show();
    detail.refresh();
    EXPECT_EQ(nameOf(accessible(uitest::named<QComboBox>(&detail, "idlePicker"))),
              KXAccess::plainText(kx("autolock.idle")));
    bool namedMountMode = false;
    for (auto* combo : detail.findChildren<QComboBox*>())
        if (combo != uitest::named<QComboBox>(&detail, "idlePicker"))
            namedMountMode = nameOf(accessible(combo)) == KXAccess::plainText(kx("mountMode.title"));
    EXPECT_TRUE(namedMountMode);
}

// ---- The idle choice ---------------------------------------------------------------------

TEST_F(AccessibleTree, TheIdlePickerShowsAValueThatIsNotOneOfItsChoices) {
    auto vault = addVault("Odd", 1); // as hushcoffer-cli autolock --idle 1 leaves it
    ASSERT_TRUE(unlockNow(vault));
    VaultDetail detail(&model(), vault);
    detail.show();
    detail.refresh();
    QComboBox* picker = uitest::named<QComboBox>(&detail, "idlePicker");
    EXPECT_EQ(picker->currentData().toInt(), 1);
    EXPECT_EQ(picker->currentText(), AutoLockCard::idleChoiceText(1));
    EXPECT_EQ(picker->itemData(0).toInt(), 0) << "in order: Never, then 1 minute, then the choices";
    EXPECT_EQ(picker->itemData(1).toInt(), 1);
    const int count = picker->count();
    EXPECT_EQ(count, static_cast<int>(AutoLockCard::idleChoices.size()) + 1);
    // choosing one of the choices drops the odd value's entry
    picker->setCurrentIndex(picker->findData(15));
    emit picker->activated(picker->currentIndex());
    ASSERT_TRUE(spinUntil([&] { return vault->config().autoLock.idleMinutes == 15; }));
    detail.refresh();
    EXPECT_EQ(picker->count(), count - 1);
    EXPECT_EQ(picker->currentData().toInt(), 15);
}

TEST_F(AccessibleTree, ThePaneSaysWhenNoSourceOfTheIdleTimeAnswers) {
    for (const std::optional<double> answer : {std::optional<double>(), std::optional<double>(3.0)}) {
        model_.reset();
        model(answer);
        auto vault = addVault(answer ? "Answered" : "Unanswered");
        ASSERT_TRUE(unlockNow(vault));
        VaultDetail detail(&model(), vault);
        detail.show();
        detail.refresh();
        auto* note = detail.findChild<QLabel*>(QStringLiteral("idleUnavailable"));
        ASSERT_NE(note, nullptr);
        ASSERT_TRUE(spinUntil(
            [&] { return model().autoLocking().idleTimeKnown() != AutoLockController::IdleTime::unknown; }));
        detail.refresh();
        EXPECT_EQ(note->isVisibleTo(&detail), !answer) << (answer ? "a source answers" : "no source answers");
        EXPECT_EQ(note->text(), kx("autolock.idleUnavailable"));
    }
}
