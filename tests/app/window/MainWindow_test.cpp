// The main window and its parts, over a model whose vaults sit on an
// in-memory disk driver (nothing is mounted; the mount-table answers
// come from the driver).
#include "app/model/AppModel.h"
#include "app/model/QuickUnlockAvailability.h"
#include "app/sheets/SheetPresenter.h"
#include "app/widgets/PathLabel.h"
#include "app/window/BannerView.h"
#include "app/window/EmptyState.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "app/window/detail/AutoLockCard.h"
#include "app/window/detail/UnlockedSecurityCard.h"
#include "kxcore/Settings.h"
#include "kxui/InfoRow.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "support/WindowFixture.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/quickunlock/QuickUnlockInterface.h"
#include "vaultkit/vault/Vault.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

using uitest::spinUntil;
using uitest::WindowTest;

// A quick-unlock provider that says it is available and can do nothing else.
class AvailableProvider final : public vaultkit::QuickUnlockInterface {
public:
    bool isAvailable() override { return true; }
    AuthOutcome authenticate(const std::string&) override {
        return AuthOutcome::ended(AuthOutcome::Kind::userCancel);
    }
    std::optional<vaultkit::Sealing::Agree> loadKey(const std::vector<std::uint8_t>&,
                                                    const vaultkit::QuickUnlockContext&) override {
        return std::nullopt;
    }
    CreatedKey createKey() override { throw AccessControlError("test"); }
};

} // namespace

// ---- Empty state and the creation sheet -------------------------------------------

TEST_F(WindowTest, WithNoVaultsTheDetailShowsTheEmptyStateWhoseButtonOpensTheCreationSheet) {
    RootView root(&model());
    root.show();
    ASSERT_NE(root.emptyState(), nullptr);
    EXPECT_EQ(root.detail(), nullptr);
    EXPECT_EQ(root.emptyState()->titleLabel()->text(), kx("empty.title"));
    EXPECT_EQ(root.emptyState()->createButton()->text(), kx("action.newLong"));

    QTest::mouseClick(root.emptyState()->createButton(), Qt::LeftButton);
    EXPECT_EQ(sheets_.creates, 1);
    ASSERT_NE(root.createSheet(), nullptr);
    EXPECT_EQ(root.createSheet()->windowModality(), Qt::WindowModal);
    // one creation sheet at a time, whichever button asks
    QTest::mouseClick(root.newButton(), Qt::LeftButton);
    EXPECT_EQ(sheets_.creates, 1);
    root.createSheet()->reject();
    ASSERT_TRUE(spinUntil([&] { return root.createSheet() == nullptr; }));
    QTest::mouseClick(root.newButton(), Qt::LeftButton);
    EXPECT_EQ(sheets_.creates, 2);
}

TEST_F(WindowTest, DemoVariableOpensTheCreationSheetOrTheRecoverySheetAtStart) {
    auto vault = addVault("Demo");
    struct Case {
        const char* demo;
        int creates;
        std::size_t recovers;
    };
    for (const Case& c : {Case{"create", 1, 0}, Case{"create2", 1, 0}, Case{"recover", 0, 1},
                          Case{"recovery", 0, 0}, Case{"", 0, 0}}) {
        SCOPED_TRACE(c.demo);
        sheets_ = {};
        qputenv("HC_DEMO", c.demo);
        {
            MainWindow window(&model(), QStringLiteral("Hushcoffer"), {});
            window.show();
            QApplication::processEvents();
            EXPECT_EQ(sheets_.creates, c.creates);
            EXPECT_EQ(sheets_.opened.size(), c.recovers);
            if (c.recovers) {
                EXPECT_EQ(sheets_.opened[0], std::make_pair(std::string("recover"), std::string("Demo")));
                ASSERT_NE(window.rootView()->detail(), nullptr);
                EXPECT_EQ(window.rootView()->detail()->sheet(), VaultDetail::Sheet::recover);
            }
        }
    }
}

// ---- Unlocking ------------------------------------------------------------------------

TEST_F(WindowTest, UnlockButtonIsDisabledWhileTheFieldIsEmptyAndReturnThenDoesNothing) {
    addVault("Private");
    RootView root(&model());
    root.show();
    VaultDetail* detail = root.detail();
    ASSERT_NE(detail, nullptr);
    EXPECT_FALSE(uitest::named<QPushButton>(detail, "unlockButton")->isEnabled());
    EXPECT_EQ(uitest::named<QLineEdit>(detail, "passwordField")->placeholderText(), kx("unlock.placeholder"));

    QTest::keyClick(uitest::named<QLineEdit>(detail, "passwordField"), Qt::Key_Return);
    QTest::mouseClick(uitest::named<QPushButton>(detail, "unlockButton"), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_EQ(driver_->attachCalls(), 0);
    EXPECT_TRUE(model().working().empty());
    EXPECT_FALSE(model().message().has_value());

    QTest::keyClicks(uitest::named<QLineEdit>(detail, "passwordField"), QStringLiteral("x"));
    EXPECT_TRUE(uitest::named<QPushButton>(detail, "unlockButton")->isEnabled());
    uitest::named<QLineEdit>(detail, "passwordField")->clear();
    EXPECT_FALSE(uitest::named<QPushButton>(detail, "unlockButton")->isEnabled());
}

TEST_F(WindowTest, ReturnAnywhereInTheLockedPaneUnlocksOnce) {
    // where the focus is when the user presses the key
    enum class Focus { field, unlockButton, otherButton, pane };
    const struct {
        Focus focus;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    } cases[] = {
        {Focus::field, Qt::Key_Return, Qt::NoModifier},
        {Focus::unlockButton, Qt::Key_Return, Qt::NoModifier},
        {Focus::otherButton, Qt::Key_Return, Qt::NoModifier},
        {Focus::otherButton, Qt::Key_Enter, Qt::KeypadModifier},
        {Focus::pane, Qt::Key_Return, Qt::NoModifier},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.focus));
        auto vault = addVault("Private" + std::to_string(n++));
        const int before = driver_->attachCalls();
        {
            RootView root(&model());
            root.show();
            root.activateWindow();
            VaultDetail* detail = root.detail();
            ASSERT_NE(detail, nullptr);
            uitest::named<QLineEdit>(detail, "passwordField")->setText(QString::fromLatin1(rightPassword));
            QWidget* target = uitest::named<QLineEdit>(detail, "passwordField");
            if (c.focus == Focus::unlockButton) target = uitest::named<QPushButton>(detail, "unlockButton");
            if (c.focus == Focus::pane) target = uitest::named<QWidget>(detail, "lockedCards");
            if (c.focus == Focus::otherButton) {
                for (QPushButton* b :
                     uitest::named<QWidget>(detail, "lockedCards")->findChildren<QPushButton*>())
                    if (b != uitest::named<QPushButton>(detail, "unlockButton") && b->isVisibleTo(detail))
                        target = b;
            }
            ASSERT_NE(target, nullptr);
            target->setFocus();
            QTest::keyClick(target, c.key, c.modifiers);
            ASSERT_TRUE(spinUntil([&] { return model().working().empty() && model().isUnlocked(vault); }));
            QTest::qWait(50);
            EXPECT_EQ(driver_->attachCalls(), before + 1) << "one key press, one unlock";
            EXPECT_TRUE(uitest::named<QLineEdit>(detail, "passwordField")->text().isEmpty());
        }
        model().lock(vault, false);
        ASSERT_TRUE(spinUntil([&] { return model().working().empty() && !model().isUnlocked(vault); }));
        model().forget(vault);
    }
}

TEST_F(WindowTest, AWrongPasswordStaysInTheFieldWithTheErrorUnderItAndTheRightOneClearsIt) {
    auto vault = addVault("Private");
    RootView root(&model());
    root.show();
    VaultDetail* detail = root.detail();
    ASSERT_NE(detail, nullptr);

    QTest::keyClicks(uitest::named<QLineEdit>(detail, "passwordField"), QStringLiteral("wrong one"));
    QTest::keyClick(uitest::named<QLineEdit>(detail, "passwordField"), Qt::Key_Return);
    // while the model works the whole pane but the busy row is disabled
    EXPECT_FALSE(uitest::named<QWidget>(detail, "vaultCards")->isEnabled());
    EXPECT_FALSE(uitest::named<QWidget>(detail, "vaultHeader")->isEnabled());
    EXPECT_FALSE(uitest::named<QWidget>(detail, "workingRow")->isHidden());
    EXPECT_EQ(uitest::named<QLabel>(detail, "workingText")->text(), kx("work.unlocking"));
    ASSERT_TRUE(spinUntil([&] { return model().working().empty(); }));
    EXPECT_TRUE(uitest::named<QWidget>(detail, "vaultCards")->isEnabled());
    EXPECT_TRUE(uitest::named<QWidget>(detail, "workingRow")->isHidden());
    EXPECT_EQ(uitest::named<QLineEdit>(detail, "passwordField")->text(), QStringLiteral("wrong one"));
    // the error shows under the field, not in the banner at the bottom
    EXPECT_FALSE(uitest::named<QLabel>(detail, "unlockError")->isHidden());
    EXPECT_EQ(uitest::named<QLabel>(detail, "unlockError")->text(), kx("err.wrongPassword"));
    EXPECT_FALSE(model().message().has_value());
    EXPECT_TRUE(root.banner()->isHidden());

    uitest::named<QLineEdit>(detail, "passwordField")->setText(QString::fromLatin1(rightPassword));
    QTest::mouseClick(uitest::named<QPushButton>(detail, "unlockButton"), Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return model().working().empty() && model().isUnlocked(vault); }));
    QApplication::processEvents();
    EXPECT_TRUE(uitest::named<QLineEdit>(detail, "passwordField")->text().isEmpty());
    EXPECT_TRUE(uitest::named<QWidget>(detail, "lockedCards")->isHidden());
    EXPECT_FALSE(uitest::named<QWidget>(detail, "unlockedCards")->isHidden());
    EXPECT_EQ(uitest::named<QLabel>(detail, "stateBadge")->text(), kx("status.unlocked"));
    EXPECT_FALSE(model().message().has_value());
    EXPECT_TRUE(root.banner()->isHidden());
}

TEST_F(WindowTest, QuickUnlockButtonShowsOnlyForAVaultWithARecord) {
    auto plain = addVault("Plain");
    auto withRecord = addVault("Quick", true);
    for (const auto& [vault, shown] : {std::pair{plain, false}, std::pair{withRecord, true}}) {
        SCOPED_TRACE(vault->config().name);
        VaultDetail detail(&model(), vault);
        detail.show();
        EXPECT_EQ(!uitest::named<QPushButton>(&detail, "quickUnlockButton")->isHidden(), shown);
    }
}

TEST_F(WindowTest, SecurityRowShowsOnThenUnavailableThenEnableInThatOrder) {
    using Row = UnlockedSecurityCard::QuickUnlockRow;
    EXPECT_EQ(UnlockedSecurityCard::quickUnlockRow(true, true), Row::on);
    EXPECT_EQ(UnlockedSecurityCard::quickUnlockRow(true, false), Row::on);
    EXPECT_EQ(UnlockedSecurityCard::quickUnlockRow(false, false), Row::unavailable);
    EXPECT_EQ(UnlockedSecurityCard::quickUnlockRow(false, true), Row::enable);

    auto plain = addVault("Plain");
    auto withRecord = addVault("Quick", true);
    ASSERT_TRUE(unlockNow(plain));
    ASSERT_TRUE(unlockNow(withRecord));
    struct Case {
        std::shared_ptr<Vault> vault;
        bool available;
        Row expected;
    };
    for (const Case& c : {Case{withRecord, false, Row::on}, Case{withRecord, true, Row::on},
                          Case{plain, false, Row::unavailable}, Case{plain, true, Row::enable}}) {
        SCOPED_TRACE(c.vault->config().name + (c.available ? " available" : " unavailable"));
        if (c.available)
            vaultkit::QuickUnlockKey::setProvider(std::make_shared<AvailableProvider>());
        else
            vaultkit::QuickUnlockKey::setProvider(nullptr);
        model().quickUnlock().recheckTouchID();
        ASSERT_TRUE(spinUntil([&] { return model().quickUnlock().touchIDAvailable() == c.available; }));
        VaultDetail detail(&model(), c.vault);
        detail.show();
        EXPECT_EQ(!uitest::named<QWidget>(&detail, "quickUnlockOn")->isHidden(), c.expected == Row::on);
        EXPECT_EQ(!uitest::named<QWidget>(&detail, "quickUnlockUnavailable")->isHidden(),
                  c.expected == Row::unavailable);
        EXPECT_EQ(!uitest::named<QPushButton>(&detail, "quickUnlockEnable")->isHidden(),
                  c.expected == Row::enable);
    }
}

// A provider whose availability question hangs until released (as when
// polkit never answers), noting the threads that ask.
class HangingProvider final : public vaultkit::QuickUnlockInterface {
public:
    bool isAvailable() override {
        {
            std::lock_guard lock(mutex);
            askers.push_back(std::this_thread::get_id());
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!released && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return true;
    }
    AuthOutcome authenticate(const std::string&) override {
        return AuthOutcome::ended(AuthOutcome::Kind::userCancel);
    }
    std::optional<vaultkit::Sealing::Agree> loadKey(const std::vector<std::uint8_t>&,
                                                    const vaultkit::QuickUnlockContext&) override {
        return std::nullopt;
    }
    CreatedKey createKey() override { throw AccessControlError("test"); }
    std::vector<std::thread::id> asked() {
        std::lock_guard lock(mutex);
        return askers;
    }
    std::atomic<bool> released{false};

private:
    std::mutex mutex;
    std::vector<std::thread::id> askers;
};

TEST_F(WindowTest, QuickUnlockAvailabilityIsAskedOnceOffTheGuiThreadAndAgainOnlyOnARelevantEvent) {
    auto provider = std::make_shared<HangingProvider>();
    vaultkit::QuickUnlockKey::setProvider(provider);
    auto plain = addVault("Plain");
    ASSERT_TRUE(unlockNow(plain));
    VaultDetail detail(&model(), plain);
    detail.show();
    // The window refreshes on every change (every 2 s, many times a second
    // during an import) while the question hangs.
    for (int i = 0; i < 50; ++i)
        model().bump();
    int turns = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++turns; });
    timer.start(10);
    EXPECT_TRUE(spinUntil([&] { return turns >= 5; }));
    ASSERT_EQ(provider->asked().size(), 1u) << "asked once at start, not on every refresh";
    EXPECT_NE(provider->asked()[0], std::this_thread::get_id());
    EXPECT_FALSE(
        uitest::named<QWidget>(&detail, "quickUnlockUnavailable")->isHidden()); // not known yet: not offered

    provider->released = true;
    ASSERT_TRUE(
        spinUntil([&] { return !uitest::named<QPushButton>(&detail, "quickUnlockEnable")->isHidden(); }));
    for (int i = 0; i < 20; ++i)
        model().bump();
    EXPECT_EQ(provider->asked().size(), 1u);

    // Turning quick unlock off is a relevant event: asked again, off the GUI
    // thread; a second event while that question runs is asked after it.
    std::optional<bool> disabled;
    model().disableTouchID(plain, [&](bool ok) { disabled = ok; });
    ASSERT_TRUE(spinUntil([&] { return disabled.has_value(); }));
    model().quickUnlock().recheckTouchID();
    ASSERT_TRUE(spinUntil([&] { return provider->asked().size() == 3u; }));
    for (const auto& id : provider->asked())
        EXPECT_NE(id, std::this_thread::get_id());
}

// ---- Automatic locking card ----------------------------------------------------------

TEST_F(WindowTest, IdlePickerOffersExactlyTheSixChoicesWithZeroAsNeverAndSavesTheWholeRecord) {
    auto vault = addVault("Private");
    ASSERT_TRUE(unlockNow(vault));
    VaultDetail detail(&model(), vault);
    detail.show();
    QComboBox* picker = uitest::named<QComboBox>(&detail, "idlePicker");
    ASSERT_EQ(picker->count(), 6);
    const int expected[] = {0, 5, 15, 30, 60, 120};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(picker->itemData(i).toInt(), expected[i]);
        EXPECT_EQ(picker->itemText(i), i == 0 ? kx("autolock.never") : kx("autolock.minutes", expected[i]));
    }
    EXPECT_EQ(picker->currentText(), kx("autolock.never"));
    EXPECT_TRUE(uitest::named<QCheckBox>(&detail, "sleepLock")->isChecked());
    EXPECT_FALSE(uitest::named<QCheckBox>(&detail, "screenLock")->isChecked());

    // each control replaces its one field of the current record, also when
    // the second change comes before the first is saved
    uitest::named<QCheckBox>(&detail, "screenLock")->click();
    picker->setCurrentIndex(2);
    emit picker->activated(2);
    EXPECT_TRUE(uitest::named<QCheckBox>(&detail, "screenLock")->isChecked());
    ASSERT_TRUE(spinUntil([&] { return vault->config().autoLock.idleMinutes == 15; }));
    ASSERT_TRUE(spinUntil([&] { return model().working().empty(); }));
    QTest::qWait(50);
    const VaultConfig::AutoLock saved = vault->config().autoLock;
    EXPECT_TRUE(saved.onSleep);
    EXPECT_TRUE(saved.onScreenLock);
    EXPECT_EQ(saved.idleMinutes, 15);
    // and it is on disk
    const auto reopened = Vault::open(vault->dir(), driver_);
    EXPECT_EQ(reopened->config().autoLock, saved);

    // a record holding a minute count the picker does not offer (set
    // elsewhere) shows that value, not a blank
    VaultConfig::AutoLock odd = saved;
    odd.idleMinutes = 7;
    model().setAutoLock(vault, odd);
    ASSERT_TRUE(spinUntil([&] { return vault->config().autoLock.idleMinutes == 7; }));
    EXPECT_TRUE(spinUntil([&] { return picker->currentData().toInt() == 7; }, 2)) << picker->currentIndex();
    EXPECT_EQ(picker->currentText(), AutoLockCard::idleChoiceText(7));
}

TEST_F(WindowTest, LockOnQuitToggleIsOnWhenNeverWrittenOrNotABooleanAndWritesTheSetting) {
    auto vault = addVault("Private");
    ASSERT_TRUE(unlockNow(vault));
    kxcore::Settings settings;
    ASSERT_FALSE(settings.contains(QString::fromLatin1(kxcore::Settings::lockOnQuitKey)));
    {
        VaultDetail detail(&model(), vault);
        detail.show();
        EXPECT_TRUE(uitest::named<QCheckBox>(&detail, "quitLock")->isChecked());
        uitest::named<QCheckBox>(&detail, "quitLock")->click();
        EXPECT_FALSE(kxcore::Settings().lockOnQuit());
        EXPECT_FALSE(uitest::named<QCheckBox>(&detail, "quitLock")->isChecked());
    }
    kxcore::Settings().setRaw(QString::fromLatin1(kxcore::Settings::lockOnQuitKey), QStringLiteral("maybe"));
    VaultDetail detail(&model(), vault);
    detail.show();
    EXPECT_TRUE(uitest::named<QCheckBox>(&detail, "quitLock")->isChecked());
}

// ---- Alerts -------------------------------------------------------------------------------

TEST_F(WindowTest, BusyAlertShowsAQuestionMarkForNoNamesAndCancelOnlyDismisses) {
    EXPECT_EQ(RootView::busyMessage({}), kx("busy.body", QStringLiteral("?")));
    EXPECT_EQ(RootView::busyMessage({QStringLiteral("vim"), QStringLiteral("bash")}),
              kx("busy.body", QStringLiteral("vim, bash")));

    auto vault = addVault("Private");
    ASSERT_TRUE(unlockNow(vault));
    RootView root(&model());
    root.show();
    model().setBusyPrompt(BusyPrompt(vault, {}));
    QMessageBox* alert = root.busyAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), kx("busy.title", QStringLiteral("Private")));
    EXPECT_EQ(alert->informativeText(), kx("busy.body", QStringLiteral("?")));
    alert->button(QMessageBox::Cancel)->click();
    QApplication::processEvents();
    EXPECT_FALSE(model().busyPrompt().has_value());
    EXPECT_TRUE(model().isUnlocked(vault));
    EXPECT_EQ(root.busyAlert(), nullptr);
}

TEST_F(WindowTest, BusyAlertForceLocksTheVaultByForce) {
    auto vault = addVault("Private");
    ASSERT_TRUE(unlockNow(vault));
    driver_->setBusy(std::vector<std::string>{"vim"});
    RootView root(&model());
    root.show();
    std::optional<bool> locked;
    model().lock(vault, false, [&](bool ok) { locked = ok; });
    ASSERT_TRUE(spinUntil([&] { return locked.has_value(); }, 10));
    EXPECT_FALSE(*locked);
    ASSERT_NE(root.busyAlert(), nullptr);
    EXPECT_EQ(root.busyAlert()->informativeText(), kx("busy.body", QStringLiteral("vim")));
    for (QAbstractButton* b : root.busyAlert()->buttons())
        if (b->text() == kx("busy.force")) b->click();
    ASSERT_TRUE(spinUntil([&] { return !model().isUnlocked(vault); }, 10));
    EXPECT_FALSE(model().busyPrompt().has_value());
}

TEST_F(WindowTest, ForgetAlertCancelKeepsTheVaultAndConfirmRemovesIt) {
    auto vault = addVault("Private");
    RootView root(&model());
    root.show();
    QMessageBox* alert = root.detail()->confirmForget();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), kx("forget.title", QStringLiteral("Private")));
    EXPECT_EQ(alert->informativeText(), kx("forget.body"));
    ASSERT_EQ(alert->buttons().size(), 2);
    QAbstractButton* cancel = nullptr;
    for (QAbstractButton* b : alert->buttons())
        if (b->text() == kx("common.cancel")) cancel = b;
    ASSERT_NE(cancel, nullptr);
    cancel->click();
    QApplication::processEvents();
    EXPECT_EQ(model().vaults().size(), 1U);

    alert = root.detail()->confirmForget();
    for (QAbstractButton* b : alert->buttons())
        if (b->text() == kx("forget.confirm")) b->click();
    ASSERT_TRUE(spinUntil([&] { return root.emptyState() != nullptr; }));
    EXPECT_TRUE(model().vaults().empty());
}

// ---- Banner -------------------------------------------------------------------------------

TEST_F(WindowTest, BannerLeavesAfterItsTimeAndAnOlderTimerNeverClearsANewerBanner) {
    BannerView fresh(&model());
    EXPECT_EQ(fresh.durationMs(false), 5000);
    EXPECT_EQ(fresh.durationMs(true), 15000);

    BannerView banner(&model());
    banner.setDurations(300, 900);
    EXPECT_TRUE(banner.isHidden());

    model().setMessage(Banner(QStringLiteral("info")));
    EXPECT_FALSE(banner.isHidden());
    QTest::qWait(150);
    EXPECT_TRUE(model().message().has_value());
    EXPECT_TRUE(spinUntil([&] { return !model().message(); }, 1));
    EXPECT_TRUE(banner.isHidden());

    QElapsedTimer t;
    t.start();
    model().setMessage(Banner(QStringLiteral("error"), true));
    QTest::qWait(450);
    EXPECT_TRUE(model().message().has_value()) << "an error stays longer than an information";
    ASSERT_TRUE(spinUntil([&] { return !model().message(); }, 2));
    EXPECT_GE(t.elapsed(), 850);

    // A at 0, B at 200: A's time ends at 300, B's at 500
    model().setMessage(Banner(QStringLiteral("first")));
    QTest::qWait(200);
    model().setMessage(Banner(QStringLiteral("second")));
    const vaultkit::Uuid second = model().message()->id;
    QTest::qWait(200);
    ASSERT_TRUE(model().message().has_value());
    EXPECT_EQ(model().message()->id, second);
    EXPECT_EQ(banner.textLabel()->text(), QStringLiteral("second"));
    EXPECT_TRUE(spinUntil([&] { return !model().message(); }, 1));

    // the close button clears at once
    model().setMessage(Banner(QStringLiteral("closable")));
    banner.closeButton()->click();
    EXPECT_FALSE(model().message().has_value());
}

// ---- Sidebar and panes ----------------------------------------------------------------

TEST_F(WindowTest, SidebarFollowsTheModelAndEachVaultGetsAFreshPane) {
    auto a = addVault("Alpha");
    auto b = addVault("Beta");
    RootView root(&model());
    root.show();
    ASSERT_EQ(root.sidebarList()->count(), 2);
    EXPECT_EQ(root.sidebarList()->item(0)->text(), QStringLiteral("Alpha"));
    EXPECT_EQ(root.sidebarList()->item(1)->text(), QStringLiteral("Beta"));
    // registering selects the newest
    EXPECT_EQ(root.detail()->vault(), b);
    EXPECT_EQ(root.sidebarList()->currentRow(), 1);

    root.sidebarList()->setCurrentRow(0);
    QApplication::processEvents();
    EXPECT_EQ(model().selection(), a->config().id);
    ASSERT_EQ(root.detail()->vault(), a);
    uitest::named<QLineEdit>(root.detail(), "passwordField")->setText(QStringLiteral("typed"));
    root.detail()->openSheet(VaultDetail::Sheet::changePassword);
    EXPECT_EQ(root.detail()->sheet(), VaultDetail::Sheet::changePassword);

    model().setSelection(b->config().id);
    QApplication::processEvents();
    model().setSelection(a->config().id);
    QApplication::processEvents();
    EXPECT_TRUE(uitest::named<QLineEdit>(root.detail(), "passwordField")->text().isEmpty());
    EXPECT_FALSE(root.detail()->sheet().has_value());
    EXPECT_EQ(uitest::named<PathLabel>(root.detail(), "vaultPath")->toolTip().isEmpty(), false);
}

TEST_F(WindowTest, CredentialButtonsOpenTheirSheets) {
    auto vault = addVault("Private");
    VaultDetail detail(&model(), vault);
    detail.show();
    uitest::named<QPushButton>(&detail, "forgotPassword")->click();
    EXPECT_EQ(detail.sheet(), VaultDetail::Sheet::recover);
    // one sheet at a time
    EXPECT_EQ(detail.openSheet(VaultDetail::Sheet::changePassword), nullptr);
    ASSERT_EQ(sheets_.opened.size(), 1U);

    ASSERT_TRUE(unlockNow(vault));
    VaultDetail unlocked(&model(), vault);
    unlocked.show();
    vaultkit::QuickUnlockKey::setProvider(std::make_shared<AvailableProvider>());
    unlocked.refresh();
    uitest::named<QPushButton>(&unlocked, "regeneratePhrase")->click();
    EXPECT_EQ(unlocked.sheet(), VaultDetail::Sheet::regenerate);
    ASSERT_EQ(sheets_.promptTitles.size(), 1U);
    EXPECT_EQ(sheets_.promptTitles[0], kx("mnemonic.regenTitle"));
}

TEST_F(WindowTest, DataCardShowsTheImagePathWithTheHomeFolderAsTilde) {
    auto vault = addVault("Private");
    // the test's own home while the pane is made; the one before it after
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", dir_.path().toUtf8());
    VaultDetail detail(&model(), vault);
    const QString shown = uitest::named<kxui::InfoRow>(&detail, "location")->value();
    if (home.isEmpty())
        qunsetenv("HOME");
    else
        qputenv("HOME", home);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("~/vaults/.Private.hushcoffer/"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("data.memory")));
    EXPECT_EQ(uitest::named<kxui::InfoRow>(&detail, "location")->label(), kx("data.location"));
}

// ---- Main window -------------------------------------------------------------------------

TEST_F(WindowTest, ClosingTheWindowQuitsOnlyWhenThereIsNoTray) {
    for (bool noTray : {true, false}) {
        SCOPED_TRACE(noTray ? "no tray" : "tray");
        int quits = 0;
        MainWindow::Commands commands;
        commands.quit = [&] { ++quits; };
        commands.closeQuits = [noTray] { return noTray; };
        MainWindow window(&model(), QStringLiteral("Hushcoffer"), commands);
        window.show();
        window.close();
        EXPECT_EQ(quits, noTray ? 1 : 0);
        EXPECT_EQ(window.isVisible(), noTray) << "the window stays until the quit goes through";
    }
}

TEST_F(WindowTest, MenuBarHoldsTheApplicationCommands) {
    int settings = 0;
    MainWindow::Commands commands;
    commands.quit = [] {};
    commands.settings = [&] { ++settings; };
    MainWindow window(&model(), QStringLiteral("Hushcoffer"), commands);
    ASSERT_NE(window.action(QStringLiteral("new")), nullptr);
    ASSERT_NE(window.action(QStringLiteral("addExisting")), nullptr);
    ASSERT_NE(window.action(QStringLiteral("quit")), nullptr);
    EXPECT_EQ(window.action(QStringLiteral("quit"))->shortcut(), QKeySequence(QKeySequence::Quit));
    window.action(QStringLiteral("settings"))->trigger();
    EXPECT_EQ(settings, 1);
    // commands of windows this build lacks are left out
    EXPECT_EQ(window.action(QStringLiteral("about")), nullptr);
    window.action(QStringLiteral("new"))->trigger();
    EXPECT_EQ(sheets_.creates, 1);
    EXPECT_EQ(window.minimumSize(), QSize(780, 540));
    EXPECT_EQ(window.size(), QSize(920, 660));
}

// The desktop's usual keys, typed in the window: Ctrl+L locks the selected
// vault, Ctrl+, opens the settings (also where the desktop has no
// preferences shortcut), Ctrl+W closes the window.
TEST_F(WindowTest, KeyboardShortcutsLockTheSelectedVaultOpenSettingsAndCloseTheWindow) {
    auto vault = addVault("Private");
    ASSERT_TRUE(unlockNow(vault));
    model().setSelection(vault->config().id);
    int settings = 0;
    MainWindow::Commands commands;
    commands.quit = [] {};
    commands.settings = [&] { ++settings; };
    commands.closeQuits = [] { return false; };
    MainWindow window(&model(), QStringLiteral("Hushcoffer"), commands);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_TRUE(window.action(QStringLiteral("settings"))->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_Comma)));

    QTest::keyClick(&window, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settings, 1);
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    ASSERT_TRUE(spinUntil([&] { return !model().isUnlocked(vault); }));
    // on a locked vault it does nothing
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    EXPECT_FALSE(model().isUnlocked(vault));
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
}
