// How sheets sit on their window: no minimise or maximise button (a sheet
// belongs to its window), the close button only where the sheet allows one;
// and the creation sheet's step row, which tells where the user is without
// looking like something to click.
#include "app/sheets/MnemonicSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/sheets/create/StepsView.h"
#include "kxui/KXStyle.h"
#include "vaultkit/crypto/Mnemonic.h"

#include <QDialog>
#include <QPointer>
#include <QTest>
#include <QWidget>

#include <functional>

#include <gtest/gtest.h>

namespace {

TEST(SheetPresenter, APresentedSheetHasATitleAndNoMinimiseOrMaximiseButton) {
    QWidget window;
    window.show();
    struct FlagCase {
        const char* what;
        std::function<QDialog*()> make;
        bool closable;
    };
    const FlagCase cases[] = {
        {"a plain sheet", [&]() -> QDialog* { return new QDialog(&window); }, true},
        {"a sheet with maximise asked for",
         [&]() -> QDialog* {
             auto* d = new QDialog(&window);
             d->setWindowFlag(Qt::WindowMaximizeButtonHint);
             return d;
         },
         true},
        {"the phrase sheet, which only Done ends",
         [&]() -> QDialog* {
             return new MnemonicSheet(QStringLiteral("Title"), vaultkit::Mnemonic::generate(), {}, &window);
         },
         false},
    };
    for (const auto& c : cases) {
        QPointer<QDialog> sheet = SheetPresenter::present(c.make());
        ASSERT_TRUE(sheet) << c.what;
        const Qt::WindowFlags flags = sheet->windowFlags();
        EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint)) << c.what << ": only the hints asked for";
        EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint)) << c.what;
        EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint)) << c.what;
        EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint)) << c.what;
        EXPECT_EQ(flags.testFlag(Qt::WindowCloseButtonHint), c.closable) << c.what;
        EXPECT_EQ(sheet->windowModality(), Qt::WindowModal) << c.what;
        EXPECT_TRUE(sheet->isVisible()) << c.what;
        delete sheet.data();
    }
}

TEST(StepsView, TheStepRowTakesNoFocusNoClickAndNoAccentColour) {
    StepsView steps({QStringLiteral("Location"), QStringLiteral("Password"), QStringLiteral("Phrase")}, 1);
    steps.show();
    EXPECT_EQ(steps.focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(steps.testAttribute(Qt::WA_TransparentForMouseEvents));
    const QColor accent = steps.palette().color(QPalette::Highlight);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(steps.symbolColour(i), accent) << i << ": the accent marks controls";
        EXPECT_EQ(steps.symbolColour(i), i <= 1 ? steps.palette().color(QPalette::WindowText)
                                                : KXStyle::secondary(steps.palette()))
            << i;
    }
    EXPECT_EQ(steps.mark(0), StepsView::Mark::done);
    EXPECT_EQ(steps.mark(1), StepsView::Mark::current);
    EXPECT_EQ(steps.mark(2), StepsView::Mark::todo);
}

} // namespace
