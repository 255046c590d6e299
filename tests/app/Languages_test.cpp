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

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Characters of `text` the widget's font and every fallback lack (shown as
// an empty box).
QString missingGlyphs(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    while (layout.createLine().isValid()) {
    }
    layout.endLayout();
    QString missing;
    for (const QGlyphRun& run : layout.glyphRuns())
        for (quint32 glyph : run.glyphIndexes())
            if (glyph == 0) missing += QStringLiteral("?");
    return missing.isEmpty() ? QString() : text;
}

// What is wrong with the visible texts below `top`: one line each.
std::vector<std::string> textProblems(QWidget* top) {
    std::vector<std::string> problems;
    auto note = [&](const QWidget* w, const QString& text, const char* what) {
        problems.push_back(std::string(what) + ": \"" + text.toStdString() + "\" (" +
                           w->metaObject()->className() + " " + std::to_string(w->width()) + "x" +
                           std::to_string(w->height()) + ")");
    };
    for (QLabel* label : top->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty() || qobject_cast<PathLabel*>(label)) continue;
        const QString text = label->textFormat() == Qt::RichText || Qt::mightBeRichText(label->text())
                                 ? QString()
                                 : label->text();
        if (!text.isEmpty() && !missingGlyphs(text, label->font()).isEmpty()) note(label, text, "missing glyphs");
        const QRect room = label->contentsRect();
        if (label->wordWrap()) {
            if (label->heightForWidth(label->width()) > label->height() + 1) note(label, label->text(), "cut below");
        } else if (!text.isEmpty()) {
            const int needed = label->fontMetrics().horizontalAdvance(text) - 1;
            if (needed > room.width() && !text.contains('\n')) note(label, text, "cut at the side");
        }
    }
    for (QAbstractButton* button : top->findChildren<QAbstractButton*>()) {
        if (!button->isVisible() || button->text().isEmpty()) continue;
        if (!missingGlyphs(button->text(), button->font()).isEmpty()) note(button, button->text(), "missing glyphs");
        if (button->sizeHint().width() > button->width() + 1) note(button, button->text(), "cut at the side");
    }
    return problems;
}

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
        for (const auto& p : textProblems(top))
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
