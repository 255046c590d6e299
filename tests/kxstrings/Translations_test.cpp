// Checks the translated text tables as a whole: every language the interface
// offers has both tables with every key of English, no table is English left
// untranslated, and the real lookup shows the translated texts. Placeholders
// of each translated text are checked against English in Tables_test.cpp.
#include "kxstrings/KXLanguage.h"
#include "kxstrings/KXResourceBundle.h"
#include "kxstrings/KXStrings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Table = std::map<std::string, std::string, std::less<>>;

struct Bundle {
    std::string name;
    std::string table;
};
const std::vector<Bundle> bundles = {{"Hushcoffer_Hushcoffer", "Product"}, {"Hushcoffer_KXUI", "Common"}};

fs::path bundleDir(const std::string& name) {
    unsetenv("HC_RESOURCES_DIR");
    auto b = KXResourceBundle::find(name);
    if (!b) throw std::runtime_error("bundle " + name + " is not beside the test program");
    return b->dir();
}

std::optional<Table> read(const Bundle& b, std::string_view language, std::string* error = nullptr) {
    fs::path file = bundleDir(b.name) / (std::string(language) + ".lproj") / (b.table + ".json");
    return KXResourceBundle::readTable(file, error);
}

std::vector<std::string> translatedLanguages() {
    std::vector<std::string> out;
    for (const auto& l : KXLanguage::all)
        if (l.code != KXLanguage::development) out.emplace_back(l.code);
    return out;
}

// Texts a language rightly writes as English does. Anything else that equals
// English is a text nobody translated.
const std::map<std::string, std::set<std::string>> sameAsEnglish = {
    {"de",
     {"common.ok", "about.version", "settings.version", "about.website", "settings.tab.updates",
      "settings.tab.feedback"}},
    {"fr",
     {"common.ok", "about.version", "settings.version", "fb.message", "fb.preview", "autolock.minutes"}},
    {"es", {"settings.tab.general"}},
    {"it",
     {"common.ok", "unlock.placeholder", "create.s2", "settings.tab.feedback", "settings.tab.privacy",
      "app.menu.file"}},
    {"pt", {"common.ok"}},
    {"ja", {"common.ok"}},
    {"vi", {"common.ok"}},
};
// A short list stays short: a language with more texts like English than
// this has not been translated.
constexpr std::size_t maxSameAsEnglish = 8;

// What is left of a text when brand names, placeholders, digits, spaces and
// punctuation are taken out; a text that leaves nothing is the same in every
// language.
std::string wordsOf(const std::string& text) {
    static const std::regex drop(R"(Hushcoffer|gocryptfs|README\.txt|TPM|%(\d+\$)?(@|l{0,2}[diu])|%%)");
    // Multi-byte marks as alternatives, so that no byte of another letter is taken.
    static const std::regex rest(R"(\s|[0-9.,:;!?()/%'"-]|–|—|…|·|“|”|’|©)");
    return std::regex_replace(std::regex_replace(text, drop, ""), rest, "");
}

TEST(Translations, EveryLanguageHasBothTablesWithEveryKeyOfEnglish) {
    for (const auto& b : bundles) {
        auto english = read(b, "en");
        ASSERT_TRUE(english) << b.name;
        for (const auto& language : translatedLanguages()) {
            std::string error;
            auto table = read(b, language, &error);
            if (!table) {
                ADD_FAILURE() << b.name << ": no table for " << language << ": " << error;
                continue;
            }
            std::vector<std::string> missing, empty;
            for (const auto& [key, text] : *english) {
                auto it = table->find(key);
                if (it == table->end())
                    missing.push_back(key);
                else if (it->second.empty())
                    empty.push_back(key);
            }
            EXPECT_TRUE(missing.empty())
                << b.table << "/" << language << " lacks " << ::testing::PrintToString(missing)
                << " (scripts/l10n-missing lists them)";
            EXPECT_TRUE(empty.empty())
                << b.table << "/" << language << " has empty texts for " << ::testing::PrintToString(empty);
        }
    }
}

TEST(Translations, NoTableIsEnglishLeftUntranslated) {
    for (const auto& [language, keys] : sameAsEnglish)
        EXPECT_LE(keys.size(), maxSameAsEnglish) << language;
    for (const auto& language : translatedLanguages()) {
        auto allowed = sameAsEnglish.count(language) ? sameAsEnglish.at(language) : std::set<std::string>{};
        std::vector<std::string> same;
        for (const auto& b : bundles) {
            auto english = read(b, "en");
            auto table = read(b, language);
            ASSERT_TRUE(english && table) << b.name << "/" << language;
            for (const auto& [key, text] : *table) {
                auto en = english->find(key);
                if (en == english->end() || en->second != text) continue;
                if (wordsOf(text).empty() || allowed.count(key)) continue;
                same.push_back(key);
            }
        }
        EXPECT_TRUE(same.empty()) << language << " keeps English for " << ::testing::PrintToString(same);
    }
}

TEST(Translations, WordsOfAnotherDesktopAppearInNoLanguage) {
    // Product and place names that a translator might carry over from
    // another platform's texts; they are the same in every script.
    const std::regex foreign(R"(Finder|Touch ID|macOS|Mac\b|Dock\b|⌘|iCloud|Spotlight)");
    for (const auto& b : bundles) {
        for (const auto& language : translatedLanguages()) {
            auto table = read(b, language);
            if (!table) continue; // a missing table is reported above
            for (const auto& [key, text] : *table) {
                EXPECT_FALSE(std::regex_search(text, foreign)) << language << "/" << key << ": " << text;
            }
        }
    }
}

TEST(Translations, TheLookupShowsTheChosenLanguage) {
    // One key from each table, through the same lookup the program uses
    // (a button's text, with its access letter: in a script of its own, or
    // after the text in parentheses).
    const std::vector<std::pair<std::string, std::string>> cases = {{"de", "&Abbrechen"},
                                                                    {"ja", "キャンセル(&C)"},
                                                                    {"ru", "О&тмена"},
                                                                    {"th", "ยกเลิก(&C)"},
                                                                    {"zh-Hant", "取消(&C)"}};
    for (const auto& [language, cancel] : cases) {
        KXStrings::resetForTesting();
        unsetenv("HC_RESOURCES_DIR");
        KXStrings::setLanguage(language);
        KXStrings::registerProductBundle();
        auto product = read(bundles[0], language);
        ASSERT_TRUE(product) << language;
        EXPECT_EQ(KXStrings::text("common.cancel"), cancel) << language;
        EXPECT_EQ(KXStrings::text("err.wrongPassword"), product->at("err.wrongPassword")) << language;
        EXPECT_NE(KXStrings::text("err.wrongPassword"), "The password is not correct.") << language;
    }
    KXStrings::resetForTesting();
}

TEST(Translations, ReorderedArgumentsLandInTheirPlaces) {
    // A translation that puts the arguments in another order names them by
    // position; the formatted text must carry each argument where it is named.
    KXStrings::resetForTesting();
    unsetenv("HC_RESOURCES_DIR");
    for (const auto& language : translatedLanguages()) {
        KXStrings::setLanguage(language);
        KXStrings::registerProductBundle();
        std::string s = KXStrings::text("err.autoLockFailed", "VAULTNAME", "REASONTEXT");
        EXPECT_NE(s.find("VAULTNAME"), std::string::npos) << language << ": " << s;
        EXPECT_NE(s.find("REASONTEXT"), std::string::npos) << language << ": " << s;
        std::string stats = KXStrings::text("import.stats", 1234, "5 MB");
        EXPECT_NE(stats.find("1234"), std::string::npos) << language << ": " << stats;
        EXPECT_NE(stats.find("5 MB"), std::string::npos) << language << ": " << stats;
        KXStrings::resetForTesting();
    }
}

} // namespace
