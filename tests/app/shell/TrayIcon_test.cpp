// The tray: its menu (TrayMenuContent) and its icon (TrayIcon) over the
// window tests' model, whose vaults sit on an in-memory disk driver.
#include "app/shell/TrayMenuContent.h"
#include "app/shell/TrayIcon.h"
#include "kxui/kx.h"
#include "support/WindowFixture.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using uitest::spinUntil;
using uitest::WindowTest;

QStringList titles(const std::vector<TrayMenuContent::Item>& items) {
    QStringList out;
    for (const auto& item : items) {
        switch (item.kind) {
        case TrayMenuContent::Kind::divider:
            out << QStringLiteral("--");
            break;
        case TrayMenuContent::Kind::text:
            out << QStringLiteral("text:") + item.title;
            break;
        case TrayMenuContent::Kind::command:
            out << item.title;
            break;
        }
    }
    return out;
}

const TrayMenuContent::Item& itemTitled(const std::vector<TrayMenuContent::Item>& items, const QString& title) {
    for (const auto& item : items)
        if (item.title == title) return item;
    throw std::runtime_error("no menu item " + title.toStdString());
}

} // namespace

// ---- Tray menu ----------------------------------------------------------------------------

TEST_F(WindowTest, TrayMenuWithNoVaults) {
    const auto items = TrayMenuContent::items(&model(), {});
    EXPECT_EQ(titles(items), (QStringList{QStringLiteral("text:") + kx("menu.none"), QStringLiteral("--"),
                                          kx("menu.openApp"), QStringLiteral("--"), kx("menu.quit")}));
    EXPECT_EQ(TrayMenuContent::symbol(&model()), QStringLiteral("lock.fill"));
}

TEST_F(WindowTest, TrayMenuUnlockOfALockedVaultOpensTheWindowOrStartsQuickUnlock) {
    auto plain = addVault("Plain");
    auto quick = addVault("Quick", true);
    int opened = 0;
    TrayMenuContent::Actions actions{[&] { ++opened; }, {}};
    const auto items = TrayMenuContent::items(&model(), actions);
    EXPECT_EQ(titles(items), (QStringList{kx("menu.unlockOne", QStringLiteral("Plain")),
                                          kx("menu.unlockOne", QStringLiteral("Quick")), QStringLiteral("--"),
                                          kx("menu.openApp"), QStringLiteral("--"), kx("menu.quit")}));

    // without a record: select it and bring the window for the password
    itemTitled(items, kx("menu.unlockOne", QStringLiteral("Plain"))).action();
    EXPECT_EQ(model().selection(), plain->config().id);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(model().working().empty());

    // with a record: select it and ask for quick unlock, no window
    itemTitled(items, kx("menu.unlockOne", QStringLiteral("Quick"))).action();
    EXPECT_EQ(model().selection(), quick->config().id);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(model().working().count(quick->config().id), 1U);
    ASSERT_TRUE(spinUntil([&] { return model().working().empty(); }));
    EXPECT_EQ(driver_->attachCalls(), 0);
}

TEST_F(WindowTest, TrayMenuOfUnlockedVaultsLocksOneOrAll) {
    auto a = addVault("Alpha");
    auto b = addVault("Beta");
    addVault("Gamma");
    ASSERT_TRUE(unlockNow(a));
    ASSERT_TRUE(unlockNow(b));
    const auto items = TrayMenuContent::items(&model(), {});
    EXPECT_EQ(
        titles(items),
        (QStringList{kx("menu.lockOne", QStringLiteral("Alpha")), kx("menu.openOne", QStringLiteral("Alpha")),
                     kx("menu.lockOne", QStringLiteral("Beta")), kx("menu.openOne", QStringLiteral("Beta")),
                     kx("menu.unlockOne", QStringLiteral("Gamma")), QStringLiteral("--"), kx("menu.lockAll"),
                     kx("menu.openApp"), QStringLiteral("--"), kx("menu.quit")}));
    EXPECT_EQ(TrayMenuContent::symbol(&model()), QStringLiteral("lock.open.fill"));

    itemTitled(items, kx("menu.lockAll")).action();
    ASSERT_TRUE(spinUntil([&] { return !model().isUnlocked(a) && !model().isUnlocked(b); }, 10));
    EXPECT_EQ(TrayMenuContent::symbol(&model()), QStringLiteral("lock.fill"));
}

TEST_F(WindowTest, TrayMenuShowsAnAmpersandInANameAsItIs) {
    addVault("Tom & Jerry");
    QMenu menu;
    TrayMenuContent::populate(&menu, &model(), {});
    ASSERT_FALSE(menu.actions().isEmpty());
    EXPECT_EQ(menu.actions().first()->text(), kx("menu.unlockOne", QStringLiteral("Tom && Jerry")));
}

TEST_F(WindowTest, TrayMenuNamesEachVaultAndStaysNarrowWithALongName) {
    const std::string longName(100, 'x');
    const std::string shortName = "Alpha";
    auto a = addVault(shortName);
    auto b = addVault(longName.substr(0, 40) + " " + longName.substr(0, 59));
    ASSERT_TRUE(unlockNow(a));
    ASSERT_TRUE(unlockNow(b));
    const QString fullB = QString::fromStdString(b->config().name);
    QMenu menu;
    TrayMenuContent::populate(&menu, &model(), {});
    QStringList openItems;
    int widest = 0;
    for (QAction* action : menu.actions()) {
        if (action->isSeparator()) continue;
        widest = std::max(widest, menu.actionGeometry(action).width());
        if (action->toolTip() == fullB) {
            // shortened in the middle, the whole name in the tooltip
            EXPECT_TRUE(action->text().contains(QChar(0x2026))) << action->text().toStdString();
            EXPECT_FALSE(action->text().contains(fullB));
        }
    }
    // the two "Open … in File Manager" items name their vaults
    const QString shownB = TrayMenuContent::shownName(b->config().name);
    EXPECT_NE(kx("menu.openOne", QStringLiteral("Alpha")), kx("menu.openOne", shownB));
    QStringList texts;
    for (QAction* action : menu.actions())
        texts << action->text();
    EXPECT_TRUE(texts.contains(kx("menu.openOne", QStringLiteral("Alpha"))));
    EXPECT_TRUE(texts.contains(kx("menu.openOne", shownB)));
    // the menu is as wide as its widest item with a name of at most
    // maxNameWidth pixels, whatever the name's length
    QMenu shortMenu;
    shortMenu.addAction(kx("menu.openOne", QString()));
    EXPECT_LE(widest,
              shortMenu.actionGeometry(shortMenu.actions().first()).width() + TrayMenuContent::maxNameWidth);
    EXPECT_LE(menu.sizeHint().width(), 520);
}

TEST_F(WindowTest, TrayIconAndMenuFollowAnUnmountMadeOutsideWithinTwoSeconds) {
    auto vault = addVault("Private");
    ASSERT_TRUE(unlockNow(vault));
    TrayIcon tray(&model(), {});
    EXPECT_EQ(tray.symbol(), QStringLiteral("lock.open.fill"));
    driver_->unmountByHand(vault->mountPoint());
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(spinUntil([&] { return tray.symbol() == QStringLiteral("lock.fill"); }, 4));
    EXPECT_LE(t.elapsed(), 2500);
    ASSERT_FALSE(tray.menu()->actions().isEmpty());
    EXPECT_EQ(tray.menu()->actions().first()->text(), kx("menu.unlockOne", QStringLiteral("Private")));
}
