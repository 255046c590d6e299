// Every language on the screens a new user sees first: the main window with
// no vault yet and each step of the creation sheet. Every text shown must
// have a glyph for each of its characters (from the font or a fallback) and
// fit the room its widget has: a wrapped label is tall enough for its lines,
// a one-line label and a button are wide enough.
#include "../support/TextFit.h"
#include "app/model/AppModel.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/sheets/create/CreateSheet.h"
#include "app/widgets/ElidedLabel.h"
#include "app/widgets/PathLabel.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/SheetSnapshots.h"
#include "app/window/VaultDetail.h"
#include "kxstrings/KXLanguage.h"
#include "kxstrings/KXStrings.h"
#include "kxui/InfoRow.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

class Languages : public ::testing::TestWithParam<KXLanguage::Language> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        KXStrings::resetForTesting();
        KXStrings::setLanguage(std::string(GetParam().code));
        KXStrings::registerProductBundle();
        model = std::make_unique<AppModel>(tmp.path() + QStringLiteral("/support"));
    }
    void TearDown() override {
        model.reset();
        KXStrings::resetForTesting();
        KXStrings::setLanguage("en");
        KXStrings::registerProductBundle();
    }
    void expectFits(QWidget* top, const std::string& screen) {
        QApplication::processEvents();
        const auto skip = [](QLabel* label) { return qobject_cast<PathLabel*>(label) != nullptr; };
        for (const auto& p : textfit::problems(top, skip))
            ADD_FAILURE() << GetParam().code << ", " << screen << ": " << p;
    }

    QTemporaryDir tmp;
    std::unique_ptr<AppModel> model;
};

TEST_P(Languages, TheMainWindowWithoutVaultsShowsEveryTextWhole) {
    MainWindow window(model.get(), QStringLiteral("Hushcoffer"), {});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    expectFits(&window, "main window");
}

TEST_P(Languages, EveryStepOfTheCreationSheetShowsEveryTextWhole) {
    CreateSheet sheet(model.get());
    sheet.setParentFolder(tmp.path());
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    expectFits(&sheet, "create: location");
    sheet.nameField()->setText(QStringLiteral("V"));
    QTest::mouseClick(sheet.nextButton(), Qt::LeftButton);
    ASSERT_EQ(sheet.step(), CreateSheet::password);
    sheet.passwordField()->setText(QStringLiteral("good password 1"));
    sheet.confirmField()->setText(QStringLiteral("good password 1"));
    expectFits(&sheet, "create: password");
    QTest::mouseClick(sheet.nextButton(), Qt::LeftButton);
    ASSERT_EQ(sheet.step(), CreateSheet::phrase);
    expectFits(&sheet, "create: phrase");
    sheet.wroteDownToggle()->setChecked(true);
    QTest::mouseClick(sheet.nextButton(), Qt::LeftButton);
    ASSERT_EQ(sheet.step(), CreateSheet::quiz);
    expectFits(&sheet, "create: quiz");
}

TEST_P(Languages, AVaultsWindowAndItsSheetsShowEveryTextWhole) {
    const SheetPresenter::Hooks before = SheetPresenter::hooks();
    SheetPresenter::installStandard();
    struct Restore {
        SheetPresenter::Hooks hooks;
        ~Restore() { SheetPresenter::hooks() = hooks; }
    } restore{before};
    // a vault with quick unlock on, on the in-memory driver
    auto driver = std::make_shared<uitest::MemoryDiskImage>("right password");
    const std::filesystem::path dir = std::filesystem::path(tmp.path().toStdString()) / ".Tax Papers.hushcoffer";
    std::filesystem::create_directories(dir);
    vaultkit::VaultConfig config;
    config.id = vaultkit::Uuid::random();
    config.name = "Tax Papers";
    config.touchID = vaultkit::VaultConfig::QuickUnlockConfig{};
    auto vault = std::make_shared<vaultkit::Vault>(dir, config, driver);
    model->registerVault(vault);

    MainWindow window(model.get(), QStringLiteral("Hushcoffer"), {});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    expectFits(&window, "main window, a locked vault");

    std::optional<bool> unlocked;
    model->unlock(vault, QStringLiteral("right password"), [&](bool ok) { unlocked = ok; });
    QElapsedTimer timer;
    timer.start();
    while (!unlocked && timer.elapsed() < 10000)
        QTest::qWait(10);
    ASSERT_EQ(unlocked, std::optional<bool>(true));
    model->setMessage(Banner(kx("ok.passwordChanged")));
    expectFits(&window, "main window, an unlocked vault with a banner");

    ASSERT_NE(window.rootView()->detail(), nullptr);
    for (auto [sheet, name] : {std::pair{VaultDetail::Sheet::recover, "recover"},
                               std::pair{VaultDetail::Sheet::changePassword, "change password"},
                               std::pair{VaultDetail::Sheet::touchID, "quick unlock"},
                               std::pair{VaultDetail::Sheet::regenerate, "new phrase"},
                               std::pair{VaultDetail::Sheet::loginUnlock, "unlock at login"}}) {
        QDialog* dialog = window.rootView()->detail()->openSheet(sheet);
        ASSERT_NE(dialog, nullptr) << name;
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        expectFits(dialog, name);
        dialog->reject();
        QApplication::processEvents();
    }

    // the phrase shown after a new one was made, and an import's results
    model->setShownMnemonic(ShownMnemonic(QStringLiteral("Tax Papers"), vaultkit::Mnemonic::generate()));
    window.rootView()->refresh();
    ASSERT_NE(window.rootView()->mnemonicSheet(), nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.rootView()->mnemonicSheet()));
    expectFits(window.rootView()->mnemonicSheet(), "recovery phrase");
    model->setShownMnemonic(std::nullopt);
    model->setImportResults(ImportBatch(SheetSnapshots::sampleImport()));
    window.rootView()->refresh();
    ASSERT_NE(window.rootView()->importSheet(), nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.rootView()->importSheet()));
    expectFits(window.rootView()->importSheet(), "import results");
    model->setImportResults(std::nullopt);
    window.rootView()->refresh();
}

TEST_P(Languages, TheDataCheckPromptAndResultsShowEveryTextWhole) {
    MainWindow window(model.get(), QStringLiteral("Hushcoffer"), {});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    PasswordPromptSheet prompt(kx("check.title", QStringLiteral("Tax Papers")), kx("check.note"), {}, &window);
    prompt.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&prompt));
    expectFits(&prompt, "check encrypted data: password");
    prompt.reject();
    for (auto [report, name] :
         {std::pair{DataCheckReport(QStringLiteral("Tax Papers"), {}, 0), "check encrypted data: whole"},
          std::pair{DataCheckReport(QStringLiteral("Tax Papers"),
                                    {QStringLiteral("letters/2024/a letter to the tax office.odt"),
                                     QStringLiteral("photos/summer")},
                                    3),
                    "check encrypted data: damaged"}}) {
        model->setDataCheck(report);
        window.rootView()->refresh();
        ASSERT_NE(window.rootView()->dataCheckSheet(), nullptr) << name;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.rootView()->dataCheckSheet()));
        expectFits(window.rootView()->dataCheckSheet(), name);
        window.rootView()->dataCheckSheet()->reject();
        QApplication::processEvents();
        EXPECT_FALSE(model->dataCheck()) << "closing the sheet clears the result";
    }
}

// Everything the pane shows lies inside it: no widget runs past the right
// edge of the pane's view (it has no horizontal scrolling), and the pane
// itself ends inside the window.
void expectInsidePane(QWidget* window, VaultDetail* detail, const std::string& where) {
    auto* scroll = detail->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    QWidget* viewport = scroll->viewport();
    QWidget* page = scroll->widget();
    EXPECT_LE(detail->mapTo(window, QPoint(detail->width(), 0)).x(), window->width()) << where;
    EXPECT_LE(page->width(), viewport->width()) << where << ": the pane is wider than its view";
    for (QWidget* w : page->findChildren<QWidget*>()) {
        if (w->isWindow() || !w->isVisibleTo(page)) continue;
        const QRect r(w->mapTo(viewport, QPoint(0, 0)), w->size());
        if (r.right() >= viewport->width())
            ADD_FAILURE() << where << ": " << w->metaObject()->className() << " \""
                          << w->objectName().toStdString() << "\" ends at x " << r.right() << " of "
                          << viewport->width();
    }
}

// A vault with a name of about 100 characters in the smallest window, locked
// and unlocked: every text of the pane wraps or is shortened with its whole
// text in the tooltip, and nothing runs off the right edge.
TEST_P(Languages, AVaultWithALongNameFitsTheSmallestWindow) {
    auto driver = std::make_shared<uitest::MemoryDiskImage>("right password");
    const std::string name = "Family photos, tax papers and the letters from the insurance company, "
                             "scanned in 2019 to 2024";
    ASSERT_GE(name.size(), 90U);
    const std::filesystem::path dir = std::filesystem::path(tmp.path().toStdString()) / ("." + name + ".hushcoffer");
    std::filesystem::create_directories(dir);
    vaultkit::VaultConfig config;
    config.id = vaultkit::Uuid::random();
    config.name = name;
    auto vault = std::make_shared<vaultkit::Vault>(dir, config, driver);
    model->registerVault(vault);

    MainWindow window(model.get(), QStringLiteral("Hushcoffer"), {});
    window.resize(MainWindow::minimumWindowSize);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.size(), MainWindow::minimumWindowSize);
    const auto check = [&](const std::string& where) {
        QApplication::processEvents();
        VaultDetail* detail = window.rootView()->detail();
        ASSERT_NE(detail, nullptr);
        expectInsidePane(&window, detail, where);
        const auto skip = [](QLabel* label) {
            return qobject_cast<PathLabel*>(label) != nullptr || qobject_cast<ElidedLabel*>(label) != nullptr;
        };
        for (const auto& p : textfit::problems(&window, skip))
            ADD_FAILURE() << GetParam().code << ", " << where << ": " << p;
        // the shortened texts: the whole text is in the tooltip
        EXPECT_EQ(uitest::named<ElidedLabel>(detail, "vaultName")->toolTip().toStdString(), name) << where;
        EXPECT_TRUE(uitest::named<ElidedLabel>(detail, "vaultName")->isElided()) << where;
        EXPECT_LE(uitest::named<ElidedLabel>(detail, "vaultName")
                      ->fontMetrics()
                      .horizontalAdvance(uitest::named<ElidedLabel>(detail, "vaultName")->text()),
                  uitest::named<ElidedLabel>(detail, "vaultName")->contentsRect().width())
            << where;
        EXPECT_EQ(uitest::named<PathLabel>(detail, "vaultPath")->toolTip(),
                  QString::fromStdString(vault->mountPoint().string()))
            << where;
        QLabel* location = uitest::named<kxui::InfoRow>(detail, "location")->valueWidget();
        EXPECT_EQ(location->toolTip(), uitest::named<kxui::InfoRow>(detail, "location")->value()) << where;
        EXPECT_LE(location->fontMetrics().horizontalAdvance(location->text()), location->contentsRect().width())
            << where;
    };
    check(std::string(GetParam().code) + ", locked");

    std::optional<bool> unlocked;
    model->unlock(vault, QStringLiteral("right password"), [&](bool ok) { unlocked = ok; });
    QElapsedTimer timer;
    timer.start();
    while (!unlocked && timer.elapsed() < 10000)
        QTest::qWait(10);
    ASSERT_EQ(unlocked, std::optional<bool>(true));
    model->setMessage(Banner(kx("ok.created", QString::fromStdString(name))));
    check(std::string(GetParam().code) + ", unlocked, with a banner");
}

INSTANTIATE_TEST_SUITE_P(All, Languages, ::testing::ValuesIn(KXLanguage::all),
                         [](const auto& param) { return textfit::testName(param.param.code); });

} // namespace
