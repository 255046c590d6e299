// Checks the shipped text tables: every key the sources ask for has an
// English text, every English text has the placeholders its callers fill,
// and every translation keeps the placeholders of English.
#include "kxstrings/KXFormat.h"
#include "kxstrings/KXLanguage.h"
#include "kxstrings/KXStrings.h"
#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

using Table = std::map<std::string, std::string, std::less<>>;

struct Bundle {
    std::string name;
    std::string table;
};
const std::vector<Bundle> bundles = {{"Hushcoffer_Hushcoffer", "Product"}, {"Hushcoffer_KXUI", "Common"}};

KXResourceBundle shipped(const std::string& name) {
    unsetenv("HC_RESOURCES_DIR");
    auto b = KXResourceBundle::find(name);
    if (!b) throw std::runtime_error("bundle " + name + " is not beside the test program");
    return *b;
}

Table readShipped(const Bundle& b, const std::string& language) {
    fs::path file = shipped(b.name).dir() / (language + ".lproj") / (b.table + ".json");
    std::string error;
    auto t = KXResourceBundle::readTable(file, &error);
    if (!t) throw std::runtime_error(error);
    return *t;
}

Table englishOfAll() {
    Table all;
    for (const auto& b : bundles)
        for (auto& [k, v] : readShipped(b, "en"))
            all.emplace(k, v);
    return all;
}

std::string kinds(const std::string& text) {
    auto scan = KXFormat::scan(text);
    auto p = scan.placeholders;
    std::sort(p.begin(), p.end(), [](auto& a, auto& b) { return a.position < b.position; });
    std::string out;
    for (auto& ph : p)
        out += ph.kind;
    return out;
}

// Keys every caller fills with arguments, and the kinds in argument order
// ('@' a text, 'd' an integer). Every other key takes no arguments.
const std::map<std::string, std::string> expectedPlaceholders = {
    {"work.importingItem", "@"},
    {"ok.created", "@"},
    {"print.date", "@"},
    {"print.vault", "@"},
    {"ok.trashed", "d"},
    {"err.touchid", "@"},
    {"err.busy", "@"},
    {"err.notEmpty", "@"},
    {"err.exists", "@"},
    {"err.configMissing", "@"},
    {"err.system", "@@"},
    {"err.integrity", "@"},
    {"err.importContainsVault", "@"},
    {"err.autoLockFailed", "@@"},
    {"menu.lockOne", "@"},
    {"menu.unlockOne", "@"},
    {"autolock.minutes", "d"},
    {"touchid.reason", "@"},
    {"mnemonic.newTitle", "@"},
    {"forget.title", "@"},
    {"busy.title", "@"},
    {"busy.body", "@"},
    {"quit.busy.title", "@"},
    {"quit.busy.body", "@"},
    {"import.stats", "d@"},
    {"about.license", "@"},
    {"about.supportID", "@"},
    {"err.autoLockRetrying", "@@"},
    {"err.openFolder", "@"},
    {"fb.copied", "@"},
    {"fb.noMailBody", "@"},
    {"import.statsFolders", "dd@"},
    {"loginUnlock.keyringLabel", "@"},
    {"loginUnlock.pending", "@"},
    {"menu.openOne", "@"},
    {"ok.autoLockedLater", "@"},
    {"recover.unknown", "@"},
    {"recover.useWord", "@"},
    {"sync.cannotExclude", "@@"},
    {"unlock.elsewhere", "@@@"},
    {"unlock.elsewhereAt", "@"},
    {"sync.excluded", "@@@"},
    {"sync.notExcluded", "@@"},
    {"sync.pending", "@@"},
    {"import.trash", "d"},
    {"recover.count", "d"},
    {"create.notEmpty", "@"},
    {"create.wordN", "d"},
    {"create.stepOf", "dd@"},
    {"app.about", "@"},
    {"update.available", "@"},
    {"update.uptodate", "@"},
    {"about.version", "@@"},
    {"about.copyright", "d"},
    {"fb.failed", "@"},
    {"fb.sent", "@"},
    {"check.damagedBody", "d@"},
    {"check.title", "@"},
    {"check.unnamed", "d"},
    {"check.conflictCopies", "d"},
    {"check.syncTemporaries", "d"},
    {"check.wholeBody", "@"},
    {"conflicts.folder", "@"},
    {"conflicts.hidden", "d"},
    {"conflicts.found", "@@"},
    {"err.keyringFailed", "@"},
    {"err.keyringNotRemoved", "@@"},
    {"err.keyringNotUpdated", "@@"},
    {"err.loginUnlockMissing", "@"},
    {"err.loginUnlockSkipped", "@@"},
    {"err.loginUnlockStale", "@"},
    {"import.unlockTitle", "@"},
    {"notice.importDone", "@"},
    {"notice.importProblems", "@"},
    {"notice.lockedInUse", "@"},
    {"ok.loginUnlockOn", "@"},
    {"loginUnlock.autostartFailed", "@"},
    {"loginUnlock.enableTitle", "@"},
    {"mountMode.why.chosenLocalSynced", "@"},
    {"mountMode.why.network", "@@"},
    {"mountMode.why.synced", "@@"},
};

// Keys the sources build at run time, so the scan below cannot see them.
const std::vector<std::string> builtKeys = {"create.stage.create", "create.stage.verify",
                                            "create.stage.done"};

std::set<std::string> keysInSources() {
    std::set<std::string> keys;
    const std::regex call(R"re((?:\bkx|KXStrings::text)\(\s*"([^"\\]+)")re");
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(HC_SOURCE_DIR) / "src")) {
        auto ext = entry.path().extension();
        if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        std::string s = text.str();
        for (std::sregex_iterator it(s.begin(), s.end(), call), end; it != end; ++it) {
            // a literal ending in "." is the prefix of a key built at run time
            // (e.g. "create.stage." + stage); builtKeys lists those keys
            std::string key = (*it)[1].str();
            if (!key.empty() && key.back() != '.') keys.insert(key);
        }
    }
    return keys;
}

std::vector<vaultkit::VaultError> everyVaultError() {
    using E = vaultkit::VaultError;
    return {E::touchID("t"),
            E::busy({}),
            E::mountPointNotEmpty({"a"}),
            E::alreadyExists("p"),
            E::configMissing("p"),
            E::hdiutil("v", "o"),
            E::io("d"),
            E::integrity("i"),
            E::snapshotNotFound("s"),
            E::wrongPassword(),
            E::weakPassword(),
            E::badMnemonic(),
            E::mnemonicNotForThisVault(),
            E::recoveryFailed(),
            E::touchIDCancelled(),
            E::touchIDInvalidated(),
            E::touchIDNotEnabled(),
            E::invalidName(),
            E::openedElsewhere(),
            E::notLocked(),
            E::changedDuringSync()};
}

TEST(Tables, EveryKeyTheSourcesAskForHasAnEnglishText) {
    Table english = englishOfAll();
    std::set<std::string> wanted = keysInSources();
    wanted.insert(builtKeys.begin(), builtKeys.end());
    wanted.insert("launcher.name");
    for (const auto& e : everyVaultError())
        wanted.insert(std::string(e.key()));
    for (const auto& [key, kinds] : expectedPlaceholders)
        wanted.insert(key);
    std::vector<std::string> missing;
    for (const auto& k : wanted)
        if (!english.count(k)) missing.push_back(k);
    EXPECT_TRUE(missing.empty()) << "keys without an English text: " << ::testing::PrintToString(missing);
}

TEST(Tables, VaultErrorTextsTakeTheArgumentsTheErrorGives) {
    Table english = englishOfAll();
    for (const auto& e : everyVaultError()) {
        auto it = english.find(e.key());
        ASSERT_NE(it, english.end()) << e.key();
        EXPECT_EQ(kinds(it->second), std::string(e.args().size(), '@')) << e.key();
    }
}

TEST(Tables, EnglishTextsHaveExactlyThePlaceholdersTheirCallersFill) {
    for (const auto& [key, text] : englishOfAll()) {
        auto scan = KXFormat::scan(text);
        EXPECT_TRUE(scan.problems.empty()) << key << ": " << ::testing::PrintToString(scan.problems);
        auto it = expectedPlaceholders.find(key);
        EXPECT_EQ(kinds(text), it == expectedPlaceholders.end() ? "" : it->second) << key << ": " << text;
        EXPECT_FALSE(text.empty()) << key;
    }
}

TEST(Tables, EachKeyLivesInOneTableAndEnglishWordsFitLinux) {
    Table product = readShipped(bundles[0], "en"), common = readShipped(bundles[1], "en");
    for (const auto& [key, text] : product)
        EXPECT_FALSE(common.count(key)) << key << " is in both tables";
    for (const char* prefix : {"common.", "update.", "about.", "settings.", "privacy.", "fb."})
        for (const auto& [key, text] : product)
            EXPECT_NE(key.rfind(prefix, 0), 0u) << key << " belongs to the framework's table";
    // Words of another desktop have no place in these texts.
    const std::regex foreign(R"(Finder|menu bar|Touch ID|macOS|System Preferences|Dock\b|⌘)");
    for (const Table* t : {&product, &common})
        for (const auto& [key, text] : *t)
            EXPECT_FALSE(std::regex_search(text, foreign)) << key << ": " << text;
}

TEST(Tables, EveryTranslationKeepsThePlaceholdersOfEnglish) {
    for (const auto& b : bundles) {
        KXResourceBundle bundle = shipped(b.name);
        Table english = readShipped(b, "en");
        auto languages = bundle.languages();
        EXPECT_NE(std::find(languages.begin(), languages.end(), "en"), languages.end()) << b.name;
        for (const auto& language : languages) {
            EXPECT_TRUE(KXLanguage::isListed(language)) << b.name << ": " << language << ".lproj";
            Table table = readShipped(b, language);
            for (const auto& [key, text] : table) {
                auto en = english.find(key);
                if (en == english.end()) {
                    ADD_FAILURE() << b.name << "/" << language << ": " << key << " has no English text";
                    continue;
                }
                auto scan = KXFormat::scan(text);
                EXPECT_TRUE(scan.problems.empty()) << language << "/" << key;
                EXPECT_EQ(kinds(text), kinds(en->second)) << language << "/" << key << ": " << text;
            }
        }
    }
}

TEST(Tables, TheBuildPutsTheRealBundlesBesideTheProgram) {
    unsetenv("HC_RESOURCES_DIR");
    KXStrings::resetForTesting();
    KXStrings::setLanguage("en");
    KXStrings::registerProductBundle();
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "The password is not correct.");
    EXPECT_EQ(KXStrings::text("common.cancel"), "&Cancel"); // with its access letter
    EXPECT_EQ(KXStrings::text("err.busy", "gedit, bash"),
              "The vault is in use by: gedit, bash. Close those programs and try again.");
    EXPECT_EQ(KXStrings::text("err.system", "io", "marker mismatch"), "System error (io): marker mismatch");
    KXStrings::resetForTesting();
}

} // namespace
