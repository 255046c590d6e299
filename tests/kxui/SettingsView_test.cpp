#include "KXUITestSupport.h"

#include "kxui/FeedbackView.h"
#include "kxui/GeneralSettings.h"
#include "kxui/KXLanguageOverride.h"
#include "kxui/PrivacySettings.h"
#include "kxui/SettingsView.h"
#include "kxui/UpdateSettings.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace kxui;
using kxcore::Settings;

namespace {

class SettingsViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        testContext();
        clearSettings();
        unsetenv("KX_TELEMETRY");
    }
    void TearDown() override { clearSettings(); }
};

TEST_F(SettingsViewTest, TabsInOrderOpeningOnGeneralFirstAndOnTheLastChosenAfterwards) {
    {
        SettingsView view(testContext());
        QStringList labels;
        for (int i = 0; i < view.tabs()->count(); ++i)
            labels << view.tabs()->tabText(i);
        EXPECT_EQ(labels, (QStringList{kx("settings.tab.general"), kx("settings.tab.updates"),
                                       kx("settings.tab.feedback"), kx("settings.tab.privacy")}));
        EXPECT_EQ(view.currentTag(), SettingsView::general);
        EXPECT_FALSE(Settings().contains(Settings::settingsTabKey)) << "opening stores nothing";
        EXPECT_GE(view.width(), SettingsView::windowWidth);

        view.tabs()->tabBar()->setCurrentIndex(3); // the user clicks Privacy
        EXPECT_EQ(Settings().settingsTab(), 4);
        view.selectTab(SettingsView::updates);
        EXPECT_EQ(Settings().settingsTab(), 2);
        view.selectTab(1); // not a tag: nothing changes
        EXPECT_EQ(view.currentTag(), SettingsView::updates);
    }
    for (int tag : {0, 2, 3, 4}) {
        Settings().setSettingsTab(tag);
        SettingsView again(testContext());
        EXPECT_EQ(again.currentTag(), tag);
    }
    for (int bad : {1, 5, -1, 99}) {
        Settings().setSettingsTab(bad);
        SettingsView again(testContext());
        EXPECT_EQ(again.currentTag(), SettingsView::general) << bad;
    }
    // The feedback tab is the embedded form.
    SettingsView view(testContext());
    ASSERT_NE(view.feedbackPane(), nullptr);
    EXPECT_TRUE(view.feedbackPane()->isEmbedded());
}

TEST_F(SettingsViewTest, ChoosingTheSystemLanguageRemovesTheOverrideAndShowsTheHint) {
    KXLanguage::setOverride(std::string("de"));
    SettingsView view(testContext());
    view.show();
    GeneralSettings* general = view.generalPane();
    auto* combo = general->findChild<QComboBox*>("language");
    ASSERT_EQ(combo->count(), 18);
    EXPECT_EQ(combo->itemText(0), kx("settings.language.system"));
    EXPECT_EQ(combo->itemText(6), QString::fromUtf8("Deutsch"));
    EXPECT_EQ(combo->itemData(3).toString(), "zh-Hant");
    EXPECT_EQ(combo->itemText(17), "Kiswahili");
    EXPECT_EQ(general->language(), "de");
    if (!GeneralSettings::languageChangedThisRun()) {
        EXPECT_FALSE(general->needsRestart());
    }

    general->chooseLanguage(QString());
    EXPECT_EQ(KXLanguage::override(), std::nullopt);
    EXPECT_FALSE(Settings().contains(Settings::languagesKey));
    EXPECT_TRUE(general->needsRestart());
    auto* hint = general->findChild<QLabel*>("restartHint");
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(hint->text(), kx("settings.restartHint"));
    EXPECT_TRUE(general->findChild<QPushButton*>("restartNow")->isVisible());

    general->chooseLanguage("ja");
    EXPECT_EQ(KXLanguage::override(), "ja");
    general->chooseLanguage("ja"); // the same entry again is a choice too
    EXPECT_EQ(Settings().stringListValue(Settings::languagesKey), QStringList{"ja"});

    // A window opened later still says a restart is due.
    SettingsView later(testContext());
    later.show();
    EXPECT_EQ(later.generalPane()->language(), "ja");
    EXPECT_TRUE(later.generalPane()->needsRestart());
}

TEST_F(SettingsViewTest, AutomaticUpdatesIsOneStoredSettingShownOnTwoTabs) {
    SettingsView view(testContext());
    view.show();
    auto* onGeneral = view.generalPane()->findChild<QCheckBox*>("autoUpdate");
    EXPECT_TRUE(onGeneral->isChecked()) << "absent counts as on";
    onGeneral->click();
    EXPECT_FALSE(Settings().autoUpdate());
    EXPECT_TRUE(Settings().contains(Settings::autoUpdateKey));
    view.selectTab(SettingsView::updates);
    auto* onUpdates = view.tabs()->currentWidget()->findChild<QCheckBox*>("autoUpdate");
    ASSERT_NE(onUpdates, nullptr);
    EXPECT_FALSE(onUpdates->isChecked());
    onUpdates->click();
    EXPECT_TRUE(Settings().autoUpdate());
    auto* version = view.tabs()->currentWidget()->findChild<QLabel*>("version");
    EXPECT_EQ(version->text(), testContext().product().version + " (" + testContext().product().build + ")");
}

TEST_F(SettingsViewTest, UsageStatisticsOffIsStoredAndStopsTelemetryAtOnce) {
    auto& telemetry = kxcore::Telemetry::shared();
    telemetry.setEnabled(false); // start from an empty queue
    telemetry.setEnabled(true);
    telemetry.track("kx_task_done", "queued");
    ASSERT_EQ(telemetry.queuedCount(), 1);
    SettingsView view(testContext());
    view.selectTab(SettingsView::privacy);
    view.show();
    auto* toggle = view.privacyPane()->findChild<QCheckBox*>("telemetry");
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_GE(view.privacyPane()->minimumHeight(), 300);
    toggle->click();
    EXPECT_EQ(Settings().boolValue(Settings::telemetryKey, true), false);
    EXPECT_FALSE(telemetry.isEnabled());
    EXPECT_EQ(telemetry.queuedCount(), 0) << "the waiting events are dropped";
    telemetry.track("kx_task_done", "after");
    EXPECT_EQ(telemetry.queuedCount(), 0);
    toggle->click();
    EXPECT_TRUE(Settings().telemetry());
    EXPECT_TRUE(telemetry.isEnabled());
    telemetry.setEnabled(false);
}

TEST_F(SettingsViewTest, FolderButtonsAndLinksOpenTheRightPlaces) {
    OpenedURLs opened;
    SettingsView view(testContext());
    const auto& paths = testContext().paths();
    view.generalPane()->findChild<QPushButton*>("dataFolder")->click();
    EXPECT_EQ(opened.last().url, QUrl::fromLocalFile(paths.supportDir()));
    view.generalPane()->findChild<QPushButton*>("logFolder")->click();
    EXPECT_EQ(opened.last().url, QUrl::fromLocalFile(paths.logsDir()));
    view.generalPane()->findChild<QPushButton*>("revealLog")->click();
    EXPECT_EQ(opened.last().url, QUrl::fromLocalFile(paths.logFile()));
    EXPECT_TRUE(opened.last().reveal);

    struct Case {
        QWidget* pane;
        const char* button;
        const char* path;
        const char* campaign;
    };
    for (const Case& c : {Case{view.updatesPane(), "website", nullptr, "settings_updates"},
                          Case{view.privacyPane(), "privacyPolicy", "/privacy.html", "settings_privacy"},
                          Case{view.privacyPane(), "terms", "/terms.html", "settings_privacy"}}) {
        c.pane->findChild<QPushButton*>(QLatin1String(c.button))->click();
        QUrl url = opened.last().url;
        EXPECT_FALSE(opened.last().reveal);
        if (c.path) {
            EXPECT_EQ(url.path(), QLatin1String(c.path)) << c.button;
        }
        QUrlQuery q(url);
        EXPECT_EQ(q.queryItems().size(), 2) << c.button;
        EXPECT_EQ(q.queryItemValue("utm_source"), testContext().product().id) << c.button;
        EXPECT_EQ(q.queryItemValue("utm_campaign"), QLatin1String(c.campaign)) << c.button;
    }
}

} // namespace
