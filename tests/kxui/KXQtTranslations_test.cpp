// Qt's own dialogs speak the interface language: with German chosen, the
// file chooser and the standard buttons are German; a language Qt has no
// catalogue for, and English, leave Qt's English.
#include "KXUITestSupport.h"

#include "kxui/KXQtTranslations.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTranslator>

#include <gtest/gtest.h>

namespace {

QString cancelText() {
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    return box.button(QDialogButtonBox::Cancel)->text();
}

// The "Look in:" label of Qt's own (non-native) file chooser.
QString fileDialogLookIn() {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QLabel* label = dialog.findChild<QLabel*>(QStringLiteral("lookInLabel"));
    return label ? label->text() : QString();
}

TEST(KXQtTranslations, QtsCodesForTheLanguagesOfTheApplication) {
    struct Case {
        const char* code;
        const char* qt;
    };
    for (const Case& c : {Case{"zh-Hans", "zh_CN"}, Case{"zh-Hant", "zh_TW"}, Case{"pt", "pt_BR"},
                          Case{"de", "de"}, Case{"ja", "ja"}})
        EXPECT_EQ(KXQtTranslations::qtLocaleName(c.code).toStdString(), c.qt) << c.code;
}

TEST(KXQtTranslations, GermanTurnsQtsOwnDialogsGermanAndEnglishTurnsThemBack) {
    ensureQtApplication();
    const QString englishCancel = cancelText();
    const QString englishLookIn = fileDialogLookIn();
    ASSERT_FALSE(englishLookIn.isEmpty());

    QTranslator* german = KXQtTranslations::install("de");
    ASSERT_NE(german, nullptr) << "qtbase_de.qm missing (qt6-translations-l10n)";
    EXPECT_EQ(cancelText(), QStringLiteral("Abbrechen"));
    EXPECT_EQ(fileDialogLookIn(), QStringLiteral("Suchen in:"));

    // another language replaces it; one without a catalogue, or English,
    // leaves Qt's English
    ASSERT_NE(KXQtTranslations::install("fr"), nullptr);
    EXPECT_EQ(cancelText(), QStringLiteral("Annuler"));
    for (const char* code : {"sw", "en"}) {
        EXPECT_EQ(KXQtTranslations::install(code), nullptr) << code;
        EXPECT_EQ(cancelText(), englishCancel) << code;
        EXPECT_EQ(fileDialogLookIn(), englishLookIn) << code;
    }
}

} // namespace
