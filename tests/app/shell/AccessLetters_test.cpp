// Access letters in every language: every menu and every button or labelled
// control of the main window, the tray menu and the sheets has one (Alt and
// the letter, or the letter while a menu is open), and no two items that are
// offered together share one: the items of one menu, the menu bar's titles
// with the buttons of the window below them, the buttons of a sheet.
#include "../support/TextFit.h"
#include "app/model/AppModel.h"
#include "app/sheets/SheetPresenter.h"
#include "app/sheets/create/CreateSheet.h"
#include "app/shell/TrayMenuContent.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxstrings/KXLanguage.h"
#include "kxstrings/KXStrings.h"
#include "kxui/KXAccess.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Spin.h"
#include "vaultkit/vault/Vault.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

using uitest::spinUntil;

// The texts offered together, each checked for a letter of its own.
class Offer {
public:
    explicit Offer(std::string where)
        : where_(std::move(where)) {}
    void add(const QString& text) {
        if (text.isEmpty()) return;
        const QChar letter = KXAccess::letter(text);
        if (letter.isNull()) {
            problems_.push_back(where_ + ": no access letter in \"" + text.toStdString() + "\"");
            return;
        }
        auto [it, fresh] = seen_.emplace(letter, text);
        if (!fresh)
            problems_.push_back(where_ + ": \"" + text.toStdString() + "\" and \"" +
                                it->second.toStdString() + "\" share the letter " +
                                QString(letter).toStdString());
    }
    // The enabled items of a menu (separators and disabled texts aside).
    void addMenu(const QMenu* menu) {
        for (const QAction* a : menu->actions())
            if (!a->isSeparator() && a->isVisible() && a->isEnabled()) add(a->text());
    }
    // What the keyboard reaches in `top`: its visible buttons with a text
    // and the labels with a letter that lead to a control.
    void addControls(const QWidget* top) {
        for (const QAbstractButton* b : top->findChildren<QAbstractButton*>())
            if (b->isVisibleTo(top) && !b->text().isEmpty() && b->window() == top->window()) add(b->text());
        // a label's letter moves to its control: unique too, where it has one
        for (const QLabel* l : top->findChildren<QLabel*>())
            if (l->isVisibleTo(top) && l->buddy() && l->window() == top->window() &&
                !KXAccess::letter(l->text()).isNull())
                add(l->text());
    }
    const std::vector<std::string>& problems() const { return problems_; }

private:
    std::string where_;
    std::map<QChar, QString> seen_;
    std::vector<std::string> problems_;
};

class AccessLetters : public ::testing::TestWithParam<KXLanguage::Language> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        KXStrings::resetForTesting();
        KXStrings::setLanguage(std::string(GetParam().code));
        KXStrings::registerProductBundle();
        previousHooks = SheetPresenter::hooks();
        SheetPresenter::installStandard();
        model = std::make_unique<AppModel>(tmp.path() + QStringLiteral("/support"));
    }
    void TearDown() override {
        model.reset();
        SheetPresenter::hooks() = previousHooks;
        KXStrings::resetForTesting();
        KXStrings::setLanguage("en");
        KXStrings::registerProductBundle();
    }
    void expectNoProblems(const Offer& offer) {
        for (const auto& p : offer.problems())
            ADD_FAILURE() << GetParam().code << ", " << p;
    }
    std::shared_ptr<vaultkit::Vault> addVault(const std::string& name) {
        const fs::path dir = fs::path(tmp.path().toStdString()) / ("." + name + ".hushcoffer");
        fs::create_directories(dir);
        vaultkit::VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        auto vault = std::make_shared<vaultkit::Vault>(dir, config, driver);
        model->registerVault(vault);
        return vault;
    }
    bool unlockNow(const std::shared_ptr<vaultkit::Vault>& vault) {
        std::optional<bool> ok;
        model->unlock(vault, QStringLiteral("right password"), [&](bool result) { ok = result; });
        return spinUntil([&] { return ok.has_value(); }, 10) && *ok;
    }
    // The menu bar's titles with the controls of the window below it: Alt
    // and a letter reaches either.
    void expectWindowOffers(MainWindow& window, const std::string& where) {
        QApplication::processEvents();
        Offer offer(where);
        for (const QAction* a : window.menuBar()->actions())
            if (a->isVisible()) offer.add(a->text());
        offer.addControls(window.centralWidget());
        expectNoProblems(offer);
    }

    QTemporaryDir tmp;
    std::shared_ptr<uitest::MemoryDiskImage> driver =
        std::make_shared<uitest::MemoryDiskImage>("right password");
    std::unique_ptr<AppModel> model;
    SheetPresenter::Hooks previousHooks;
};

TEST_P(AccessLetters, EveryMenuOfTheMainWindowAndTheTrayHasALetterForEachItemAndNoTwoAlike) {
    MainWindow window(model.get(), QStringLiteral("Hushcoffer"), {[] {}, [] {}, [] {}, [] {}, [] {}, {}});
    Offer bar("menu bar");
    for (const QAction* a : window.menuBar()->actions()) {
        bar.add(a->text());
        ASSERT_NE(a->menu(), nullptr);
        Offer menu("menu " + KXAccess::plainText(a->text()).toStdString());
        menu.addMenu(a->menu());
        expectNoProblems(menu);
    }
    expectNoProblems(bar);

    // the tray menu with one vault of each state: every kind of item
    auto locked = addVault("Locked");
    auto open = addVault("Open & Shut"); // an "&" in a name is shown, not a letter
    ASSERT_TRUE(unlockNow(open));
    QMenu tray;
    TrayMenuContent::populate(&tray, model.get(), {[] {}, [] {}});
    Offer trayOffer("tray menu");
    trayOffer.addMenu(&tray);
    expectNoProblems(trayOffer);
    EXPECT_TRUE(tray.actions().first()->text().contains(QStringLiteral("Open && Shut")) ||
                tray.actions().first()->text().contains(QStringLiteral("Locked")));

    // the import button's menu
    VaultDetail detail(model.get(), open);
    QMenu* importMenu = nullptr;
    for (QPushButton* b : detail.findChildren<QPushButton*>())
        if (b->menu()) importMenu = b->menu();
    ASSERT_NE(importMenu, nullptr);
    Offer import("import menu");
    import.addMenu(importMenu);
    expectNoProblems(import);
}

TEST_P(AccessLetters, TheMainWindowInEachStateOffersEachLetterOnce) {
    MainWindow window(model.get(), QStringLiteral("Hushcoffer"), {[] {}, [] {}, [] {}, [] {}, [] {}, {}});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    expectWindowOffers(window, "main window without vaults");
    auto vault = addVault("Tax Papers");
    expectWindowOffers(window, "main window, a locked vault");
    ASSERT_TRUE(unlockNow(vault));
    model->bump();
    expectWindowOffers(window, "main window, an unlocked vault");
}

TEST_P(AccessLetters, EverySheetOffersEachLetterOnce) {
    auto vault = addVault("Sheets");
    QWidget parent;
    CreateSheet create(model.get(), &parent);
    create.setDiskImage(driver);
    create.setParentFolder(tmp.path());
    create.show();
    const char* pages[] = {"create: location", "create: password", "create: phrase", "create: quiz"};
    for (int page = 0; page < 4; ++page) {
        QApplication::processEvents();
        Offer offer(pages[page]);
        offer.addControls(&create);
        expectNoProblems(offer);
        if (page == 1) {
            create.passwordField()->setText(QStringLiteral("a long enough password"));
            create.confirmField()->setText(QStringLiteral("a long enough password"));
        }
        if (page == 2) create.wroteDownToggle()->setChecked(true);
        if (page < 3) create.next();
    }
    ASSERT_EQ(create.step(), CreateSheet::quiz);

    ASSERT_TRUE(unlockNow(vault));
    VaultDetail detail(model.get(), vault);
    for (auto [sheet, name] : {std::pair{VaultDetail::Sheet::recover, "recover"},
                               std::pair{VaultDetail::Sheet::changePassword, "change password"},
                               std::pair{VaultDetail::Sheet::touchID, "quick unlock"},
                               std::pair{VaultDetail::Sheet::regenerate, "new phrase"},
                               std::pair{VaultDetail::Sheet::loginUnlock, "unlock at login"}}) {
        QDialog* dialog = detail.openSheet(sheet);
        ASSERT_NE(dialog, nullptr) << name;
        QApplication::processEvents();
        Offer offer(name);
        offer.addControls(dialog);
        expectNoProblems(offer);
        dialog->reject();
    }
}

INSTANTIATE_TEST_SUITE_P(All, AccessLetters, ::testing::ValuesIn(KXLanguage::all),
                         [](const auto& param) { return textfit::testName(param.param.code); });

} // namespace
