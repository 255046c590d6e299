// The General tab's "start at login" toggle: it writes and removes the XDG
// autostart entry of the running program and shows the entry's state.
#include "KXUITestSupport.h"

#include "kxcore/Autostart.h"
#include "kxui/GeneralSettings.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>

#include <gtest/gtest.h>

namespace {

QCheckBox* toggle(kxui::GeneralSettings& general) {
    return general.findChild<QCheckBox*>(QStringLiteral("launchAtLogin"));
}

TEST(LaunchAtLogin, ToggleWritesAndRemovesTheAutostartEntry) {
    KXContext& ctx = testContext(); // XDG_CONFIG_HOME in a temporary folder
    QGuiApplication::setDesktopFileName(QStringLiteral("app.hushcoffer.Hushcoffer"));
    const kxcore::Autostart entry(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hushcoffer"),
                                  QCoreApplication::applicationFilePath(), {QStringLiteral("--tray")});
    ASSERT_TRUE(entry.setEnabled(false));

    {
        kxui::GeneralSettings general(ctx.paths());
        QCheckBox* box = toggle(general);
        ASSERT_NE(box, nullptr);
        EXPECT_FALSE(box->isHidden());
        EXPECT_FALSE(box->isChecked());

        box->click();
        ASSERT_TRUE(QFileInfo::exists(entry.entryPath()));
        QFile file(entry.entryPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(file.readAll().contains(
            ("\nExec=" + QCoreApplication::applicationFilePath() + " --tray\n").toUtf8()));

        box->click();
        EXPECT_FALSE(QFileInfo::exists(entry.entryPath()));
    }

    // An entry made elsewhere (the desktop's start-up settings) shows as on.
    ASSERT_TRUE(entry.setEnabled(true));
    {
        kxui::GeneralSettings general(ctx.paths());
        EXPECT_TRUE(toggle(general)->isChecked());
    }
    ASSERT_TRUE(entry.setEnabled(false));

    // Without a desktop entry id there is no file to name: no toggle.
    QGuiApplication::setDesktopFileName(QString());
    kxui::GeneralSettings general(ctx.paths());
    EXPECT_TRUE(toggle(general)->isHidden());
}

} // namespace
