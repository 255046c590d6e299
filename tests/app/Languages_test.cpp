// Every language on the screens a new user sees first: the main window with
// no vault yet and each step of the creation sheet. Every text shown must
// have a glyph for each of its characters (from the font or a fallback) and
// fit the room its widget has: a wrapped label is tall enough for its lines,
// a one-line label and a button are wide enough.
#include "app/AppModel.h"
#include "app/CreateSheet.h"
#include "app/MainWindow.h"
#include "app/PathLabel.h"
#include "kxui/strings/KXLanguage.h"
#include "kxui/strings/KXStrings.h"
#include "../support/TextFit.h"

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

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
    void expectFits(QWidget* top, const char* screen) {
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

INSTANTIATE_TEST_SUITE_P(All, Languages, ::testing::ValuesIn(KXLanguage::all),
                         [](const ::testing::TestParamInfo<KXLanguage::Language>& param) {
                             std::string name(param.param.code);
                             std::erase(name, '-');
                             return name;
                         });

} // namespace
