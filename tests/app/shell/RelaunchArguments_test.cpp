// "Restart Now" after a language change comes back to the window: the new
// instance starts with the running one's arguments without "--tray" (the
// login start has it), everything else kept in order.
#include "app/shell/HushcofferApp.h"
#include "kxui/Relaunch.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

TEST(RelaunchArguments, TheRestartLeavesOutOnlyTheTrayStart) {
    struct Case {
        QStringList running;
        QStringList restarted;
    };
    const std::vector<Case> cases{
        {{QStringLiteral("--tray")}, {}},
        {{QStringLiteral("-platform"), QStringLiteral("xcb"), QStringLiteral("--tray")},
         {QStringLiteral("-platform"), QStringLiteral("xcb")}},
        {{QStringLiteral("--tray"), QStringLiteral("--tray")}, {}},
        {{}, {}},
        {{QStringLiteral("-style"), QStringLiteral("Fusion")}, {QStringLiteral("-style"), QStringLiteral("Fusion")}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HushcofferApp::relaunchArguments(c.running), c.restarted) << c.running.join(' ').toStdString();
}

TEST(RelaunchArguments, TheCommandPassesThisProgramsArgumentsThroughTheFilter) {
    const QStringList mine = QCoreApplication::arguments().mid(1);
    Relaunch::setArgumentFilter({});
    EXPECT_EQ(Relaunch::command().arguments, mine);
    EXPECT_EQ(Relaunch::command().program, QCoreApplication::applicationFilePath());
    Relaunch::setArgumentFilter([](const QStringList& arguments) {
        return HushcofferApp::relaunchArguments(QStringList{QStringLiteral("--tray")} + arguments);
    });
    EXPECT_EQ(Relaunch::command().arguments, mine);
    Relaunch::setArgumentFilter([](const QStringList&) { return QStringList{QStringLiteral("--x")}; });
    EXPECT_EQ(Relaunch::command().arguments, QStringList{QStringLiteral("--x")});
    Relaunch::setArgumentFilter({});
}

} // namespace
