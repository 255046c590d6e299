// The password field every sheet and the pane use: hidden as typed with the
// input hints of a secret, and the eye button that shows and hides the text
// without losing those hints.
#include "app/widgets/PasswordField.h"
#include "kxui/kx.h"

#include <QAction>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(PasswordField, HiddenAsTypedWithTheHintsOfASecretShownOrNot) {
    PasswordField field(QStringLiteral("Password"));
    field.show();
    EXPECT_EQ(field.placeholderText(), QStringLiteral("Password"));
    EXPECT_EQ(field.accessibleName(), QStringLiteral("Password"));
    const Qt::InputMethodHints secret =
        Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase;
    struct RevealCase {
        bool revealed;
        QLineEdit::EchoMode echo;
        const char* caption;
    };
    const RevealCase cases[] = {
        {false, QLineEdit::Password, "password.show"},
        {true, QLineEdit::Normal, "password.hide"},
        {false, QLineEdit::Password, "password.show"},
    };
    QTest::keyClicks(&field, QStringLiteral("s3cret"));
    for (const auto& c : cases) {
        field.setRevealed(c.revealed);
        EXPECT_EQ(field.revealed(), c.revealed);
        EXPECT_EQ(field.echoMode(), c.echo) << c.revealed;
        // QLineEdit drops the hints of a secret for a shown text; the field keeps them
        EXPECT_EQ(field.inputMethodHints() & secret, secret) << c.revealed;
        EXPECT_EQ(field.revealAction()->isChecked(), c.revealed);
        EXPECT_EQ(field.revealAction()->toolTip(), kx(c.caption));
        ASSERT_NE(field.revealButton(), nullptr);
        EXPECT_EQ(field.revealButton()->accessibleName(), kx(c.caption));
        EXPECT_EQ(field.revealButton()->focusPolicy(), Qt::NoFocus) << "Tab goes on to the next control";
        EXPECT_FALSE(field.revealAction()->icon().isNull());
        EXPECT_EQ(field.text(), QStringLiteral("s3cret")) << "showing never changes the text";
    }
}

TEST(PasswordField, TheEyeButtonAtTheEndTogglesAndRetrySelectsTheWholeText) {
    PasswordField field(QStringLiteral("Password"));
    field.show();
    field.setText(QStringLiteral("wrong one"));
    // the button QLineEdit makes for the trailing action
    QWidget* eye = field.revealButton();
    ASSERT_NE(eye, nullptr);
    QTest::mouseClick(eye, Qt::LeftButton);
    EXPECT_TRUE(field.revealed());
    EXPECT_EQ(field.echoMode(), QLineEdit::Normal);
    QTest::mouseClick(eye, Qt::LeftButton);
    EXPECT_FALSE(field.revealed());
    EXPECT_EQ(field.echoMode(), QLineEdit::Password);

    field.selectForRetry();
    EXPECT_EQ(field.window()->focusWidget(), &field);
    EXPECT_EQ(field.selectedText(), QStringLiteral("wrong one"));
}

} // namespace
