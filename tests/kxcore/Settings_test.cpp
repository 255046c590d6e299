#include "kxcore/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using kxcore::Settings;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxsettings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        file_ = QString::fromStdString(root_ + "/hushcoffer.ini");
    }
    void TearDown() override { fs::remove_all(root_); }
    // What another process would see: a file read back without any typed
    // value cached. Qt keeps one cache per file within a process, so each
    // case writes a new file by hand.
    void writeFile(const std::string& body) {
        file_ = QString::fromStdString(root_ + "/case" + std::to_string(++cases_) + ".ini");
        std::ofstream(file_.toStdString()) << "[General]\n" << body;
    }
    int cases_ = 0;
    std::string root_;
    QString file_;
};

TEST_F(SettingsTest, DefaultsWhenNothingIsStored) {
    Settings s(file_);
    EXPECT_TRUE(s.lockOnQuit());
    EXPECT_TRUE(s.autoUpdate());
    EXPECT_TRUE(s.telemetry());
    EXPECT_EQ(s.settingsTab(), 0);
    EXPECT_EQ(s.feedbackEmail(), QString());
}

TEST_F(SettingsTest, ABooleanKeyHoldingSomethingElseReadsAsItsDefault) {
    struct Case {
        const char* stored;
        bool defaultValue;
        bool expected;
    };
    for (Case c : {Case{"false", true, false}, Case{"true", false, true}, Case{"FALSE", true, false},
                   Case{"0", true, true}, Case{"1", false, false}, Case{"no", true, true},
                   Case{"\"\"", true, true}, Case{"a, b", true, true}}) {
        writeFile(std::string("hc.lockOnQuit=") + c.stored + "\n");
        Settings s(file_);
        EXPECT_EQ(s.boolValue(Settings::lockOnQuitKey, c.defaultValue), c.expected) << c.stored;
    }
}

TEST_F(SettingsTest, ReadsWhatAnotherProcessWrote) {
    writeFile("hc.lockOnQuit=false\nkx.settingsTab=3\nkx.autoUpdate=false\nkx.telemetry=false\n"
              "kx.feedback.email=me@example.org\nAppleLanguages=de\nother=de, en\n");
    Settings s(file_);
    EXPECT_FALSE(s.lockOnQuit());
    EXPECT_EQ(s.settingsTab(), 3);
    EXPECT_FALSE(s.autoUpdate());
    EXPECT_FALSE(s.telemetry());
    EXPECT_EQ(s.feedbackEmail(), QStringLiteral("me@example.org"));
    EXPECT_EQ(s.stringListValue(Settings::languagesKey), QStringList{QStringLiteral("de")});
    EXPECT_EQ(s.stringListValue(QStringLiteral("other")),
              (QStringList{QStringLiteral("de"), QStringLiteral("en")}));
}

TEST_F(SettingsTest, WritesGoToTheFileAtOnce) {
    {
        Settings s(file_);
        s.setLockOnQuit(false);
        s.setSettingsTab(4);
        s.setFeedbackEmail(QStringLiteral("a.b@example.org"));
        s.setStringList(Settings::languagesKey, {QStringLiteral("fr")});
    }
    std::ifstream in(file_.toStdString());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("hc.lockOnQuit=false"), std::string::npos) << text;
    EXPECT_NE(text.find("kx.settingsTab=4"), std::string::npos) << text;
    EXPECT_NE(text.find("AppleLanguages=fr"), std::string::npos) << text;
    Settings again(file_);
    EXPECT_FALSE(again.lockOnQuit());
    EXPECT_EQ(again.settingsTab(), 4);
    again.remove(Settings::lockOnQuitKey);
    EXPECT_TRUE(again.lockOnQuit());
    EXPECT_FALSE(again.contains(Settings::lockOnQuitKey));
}

TEST_F(SettingsTest, TheStandardFileFollowsXdgConfigHome) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    EXPECT_EQ(Settings::standardFile(), QString::fromStdString(root_ + "/hushcoffer/hushcoffer.ini"));
    {
        Settings s;
        s.setTelemetry(false);
    }
    EXPECT_TRUE(fs::exists(root_ + "/hushcoffer/hushcoffer.ini"));
    if (saved)
        setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

} // namespace
