// A scroll area's accessible children follow its scroll bars, and a child
// asked for by an index counted before a scroll bar hid is no child (Qt's
// own interface read past its list there and crashed the application while a
// screen reader walked the vault pane as the vault locked).
#include "KXUITestSupport.h"

#include "kxui/KXScrollAreaAccessible.h"

#include <QAccessible>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

TEST(KXScrollAreaAccessible, ChildrenFollowTheScrollBarsAndAStaleIndexIsNoChild) {
    ensureQtApplication();
    KXScrollAreaAccessible::install();
    QScrollArea area;
    area.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area.setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* page = new QWidget;
    page->setMinimumSize(100, 1000);
    area.setWidget(page);
    area.setWidgetResizable(true);
    area.resize(200, 200);
    area.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&area));

    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&area);
    ASSERT_NE(iface, nullptr);
    ASSERT_NE(dynamic_cast<KXScrollAreaAccessible*>(iface), nullptr) << "the installed interface is used";
    ASSERT_TRUE(QTest::qWaitFor([&] { return area.verticalScrollBar()->isVisible(); }));
    ASSERT_EQ(iface->childCount(), 2);
    QAccessibleInterface* viewport = iface->child(0);
    ASSERT_NE(viewport, nullptr);
    EXPECT_EQ(viewport->object(), area.viewport());
    EXPECT_EQ(iface->indexOfChild(viewport), 0);
    QAccessibleInterface* bar = iface->child(1);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->object(), area.verticalScrollBar()->parentWidget());
    EXPECT_EQ(iface->indexOfChild(bar), 1);

    // the content gets short: the scroll bar hides, and index 1 (what a
    // reader counted a moment ago) names nothing
    page->setMinimumSize(100, 50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !area.verticalScrollBar()->isVisible(); }));
    EXPECT_EQ(iface->childCount(), 1);
    for (int stale : {1, 2, -1, 1000})
        EXPECT_EQ(iface->child(stale), nullptr) << "index " << stale;
    EXPECT_EQ(iface->indexOfChild(bar), -1);
    EXPECT_EQ(iface->child(0)->object(), area.viewport());
}
