#include "kxui/KXLanguageOverride.h"

#include "kxcore/Settings.h"
#include "kxui/kx.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using kxcore::Settings;

namespace {

class OverrideTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxoverride-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }
    // A settings file as another process left it (each case its own file:
    // Qt caches files it has read).
    QString fileWith(const std::string& body) {
        std::string path = root_ + "/case" + std::to_string(++cases_) + ".ini";
        std::ofstream(path) << "[General]\n" << body;
        return QString::fromStdString(path);
    }
    std::string root_;
    int cases_ = 0;
};

TEST_F(OverrideTest, ReadsOnlyAListedFirstCode) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"", std::nullopt},
        {"AppleLanguages=de\n", "de"},
        {"AppleLanguages=zh-Hant, en\n", "zh-Hant"},
        {"AppleLanguages=en-US\n", std::nullopt}, // region-qualified: not one of the codes
        {"AppleLanguages=en-US, en\n", std::nullopt},
        {"AppleLanguages=xx, de\n", std::nullopt},
        {"AppleLanguages=@Invalid()\n", std::nullopt}, // how an empty list is stored
        {"AppleLanguages=DE\n", std::nullopt},
        {"AppleLanguages=42\n", std::nullopt},
    };
    for (const auto& [body, expected] : cases) {
        Settings s(fileWith(body));
        EXPECT_EQ(KXLanguage::override(s), expected) << body;
    }
}

TEST_F(OverrideTest, WritingSetsAOneElementListAndWritingNoneRemovesIt) {
    QString file = QString::fromStdString(root_ + "/written.ini");
    {
        Settings s(file);
        KXLanguage::setOverride("fr", s);
        EXPECT_EQ(s.stringListValue(Settings::languagesKey), QStringList{QStringLiteral("fr")});
        EXPECT_EQ(KXLanguage::override(s), "fr");
        KXLanguage::setOverride("ja", s);
        EXPECT_EQ(KXLanguage::override(s), "ja");
    }
    {
        Settings s(file);
        KXLanguage::setOverride(std::nullopt, s);
        EXPECT_FALSE(s.contains(Settings::languagesKey));
        EXPECT_EQ(KXLanguage::override(s), std::nullopt);
    }
}

TEST_F(OverrideTest, TheLanguageIsChosenAtStartAndKxUsesIt) {
    KXStrings::resetForTesting();
    unsetenv("HC_RESOURCES_DIR");
    Settings s(fileWith("AppleLanguages=ko\n"));
    EXPECT_EQ(KXLanguage::applyAtStart(s), "ko");
    EXPECT_EQ(KXStrings::language(), "ko");

    // kx: the Qt form. Without a Korean table the English one answers.
    KXStrings::setLanguage("en");
    KXStrings::registerProductBundle();
    EXPECT_EQ(kx("err.wrongPassword"), QStringLiteral("The password is not correct."));
    EXPECT_EQ(kx("err.busy", QStringLiteral("gedit, „bash“")),
              QStringLiteral("The vault is in use by: gedit, „bash“. Close those programs and try again."));
    EXPECT_EQ(kx("autolock.minutes", 15), QStringLiteral("15 minutes"));
    EXPECT_EQ(kx("no.such.key"), QStringLiteral("no.such.key"));
    KXStrings::resetForTesting();
}

} // namespace
