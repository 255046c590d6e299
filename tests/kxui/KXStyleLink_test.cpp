// A link-style button shows where the keyboard focus is: with the focus it is
// drawn with a ring in the highlight colour, without it as before.
#include "KXUITestSupport.h"

#include "kxui/KXStyle.h"

#include <QHBoxLayout>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

int pixelsOf(const QImage& image, const QColor& colour) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAbs(image.pixelColor(x, y).red() - colour.red()) < 40 &&
                qAbs(image.pixelColor(x, y).green() - colour.green()) < 40 &&
                qAbs(image.pixelColor(x, y).blue() - colour.blue()) < 40)
                ++n;
    return n;
}

TEST(KXStyleLink, ALinkButtonWithTheKeyboardFocusShowsAFocusRing) {
    ensureQtApplication();
    QWidget window;
    auto* row = new QHBoxLayout(&window);
    auto* other = new QPushButton(QStringLiteral("Other"), &window);
    auto* link = new QPushButton(QStringLiteral("Forgot password?"), &window);
    KXStyle::makeLink(link);
    KXStyle::makeLink(link); // made a link twice: still one ring
    row->addWidget(other);
    row->addWidget(link);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const QColor ring = link->palette().color(QPalette::Highlight);

    other->setFocus(Qt::TabFocusReason);
    ASSERT_FALSE(link->hasFocus());
    const QImage without = link->grab().toImage();
    QTest::keyClick(&window, Qt::Key_Tab);
    ASSERT_TRUE(link->hasFocus());
    const QImage with = link->grab().toImage();
    EXPECT_NE(with, without);
    // the ring runs round the button: far more highlight pixels than before
    EXPECT_GT(pixelsOf(with, ring), pixelsOf(without, ring) + link->width());
}

} // namespace
