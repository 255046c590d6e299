#include "kxstrings/KXStrings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Two small bundles in a temporary folder that HC_RESOURCES_DIR points at,
// so they are found instead of the real ones beside the test program.
class KXStringsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxstrings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        const char* old = std::getenv("HC_RESOURCES_DIR");
        savedEnv_ = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("HC_RESOURCES_DIR", root_.c_str(), 1);

        write("Hushcoffer_Hushcoffer.bundle/en.lproj/Product.json", R"({
            "err.busy": "The vault is in use by: %@. Close them.",
            "err.wrongPassword": "Wrong password.",
            "both.key": "from Product",
            "empty.text": "",
            "not.a.text": 12
        })");
        write("Hushcoffer_Hushcoffer.bundle/de.lproj/Product.json", R"({
            "err.wrongPassword": "Falsches Passwort.",
            "order.key": "%2$@ vor %1$@"
        })");
        write("Hushcoffer_KXUI.bundle/en.lproj/Common.json", R"({
            "common.cancel": "Cancel",
            "both.key": "from Common",
            "update.uptodate": "You have the latest version (%@)."
        })");
        write("Hushcoffer_KXUI.bundle/de.lproj/Common.json", R"({ "common.cancel": "Abbrechen" })");
        KXStrings::resetForTesting();
        KXStrings::setLanguage("en");
    }
    void TearDown() override {
        KXStrings::resetForTesting();
        if (savedEnv_)
            setenv("HC_RESOURCES_DIR", savedEnv_->c_str(), 1);
        else
            unsetenv("HC_RESOURCES_DIR");
        fs::remove_all(root_);
    }
    void write(const std::string& rel, const std::string& text) {
        fs::path p = root_ / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    void registerProduct() {
        auto bundle = KXResourceBundle::find(KXStrings::productBundleName);
        ASSERT_TRUE(bundle);
        ASSERT_EQ(bundle->dir(), root_ / "Hushcoffer_Hushcoffer.bundle");
        KXStrings::registerProductBundle(*bundle);
    }

    fs::path root_;
    std::optional<std::string> savedEnv_;
};

TEST_F(KXStringsTest, LooksUpProductThenCommonThenShowsTheKey) {
    registerProduct();
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "Wrong password.");
    EXPECT_EQ(KXStrings::text("both.key"), "from Product");
    EXPECT_EQ(KXStrings::text("common.cancel"), "Cancel"); // only in Common
    EXPECT_EQ(KXStrings::text("no.such.key"), "no.such.key");
    EXPECT_EQ(KXStrings::text("empty.text"), "");           // an empty text is a text, not a gap
    EXPECT_EQ(KXStrings::text("not.a.text"), "not.a.text"); // a non-text value is ignored
}

TEST_F(KXStringsTest, WithoutARegisteredBundleOnlyCommonIsAsked) {
    EXPECT_EQ(KXStrings::text("both.key"), "from Common");
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "err.wrongPassword");
}

TEST_F(KXStringsTest, FormatsTheFoundTextOrTheKey) {
    registerProduct();
    EXPECT_EQ(KXStrings::text("err.busy", "gedit, bash"), "The vault is in use by: gedit, bash. Close them.");
    EXPECT_EQ(KXStrings::text("update.uptodate", std::string("1.2")), "You have the latest version (1.2).");
    // A key found nowhere is its own format.
    EXPECT_EQ(KXStrings::text("gap.%d.%@", 3, "x"), "gap.3.x");
    EXPECT_EQ(KXStrings::text("gap.key", 3), "gap.key");
    // No arguments: the text as found, "%" sequences untouched.
    EXPECT_EQ(KXStrings::text("err.busy"), "The vault is in use by: %@. Close them.");
}

TEST_F(KXStringsTest, UsesTheChosenLanguageAndEnglishForALanguageWithoutAFolder) {
    registerProduct();
    KXStrings::setLanguage("de");
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "Falsches Passwort.");
    EXPECT_EQ(KXStrings::text("common.cancel"), "Abbrechen");
    EXPECT_EQ(KXStrings::text("order.key", "eins", "zwei"), "zwei vor eins");
    // A key the German table lacks shows as the key, as in English.
    EXPECT_EQ(KXStrings::text("err.busy"), "err.busy");
    KXStrings::setLanguage("ja");
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "Wrong password.");
    EXPECT_EQ(KXStrings::text("common.cancel"), "Cancel");
}

TEST_F(KXStringsTest, ALaterRegistrationReplacesTheEarlierOne) {
    registerProduct();
    write("other/Hushcoffer_Hushcoffer.bundle/en.lproj/Product.json", R"({"err.wrongPassword": "Other."})");
    auto other = KXResourceBundle::find(KXStrings::productBundleName, {root_ / "other"});
    ASSERT_TRUE(other);
    KXStrings::registerProductBundle(*other);
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "Other.");
    EXPECT_EQ(KXStrings::text("err.busy"), "err.busy");
}

TEST_F(KXStringsTest, AnUnreadableTableShowsKeysAndDoesNotStopTheProgram) {
    write("Hushcoffer_Hushcoffer.bundle/en.lproj/Product.json", "{ not json");
    registerProduct();
    EXPECT_EQ(KXStrings::text("err.wrongPassword"), "err.wrongPassword");
    EXPECT_EQ(KXStrings::text("common.cancel"), "Cancel");
    write("Hushcoffer_Hushcoffer.bundle/en.lproj/Product.json", R"(["an", "array"])");
    EXPECT_FALSE(KXResourceBundle::readTable(root_ / "Hushcoffer_Hushcoffer.bundle/en.lproj/Product.json"));
}

TEST_F(KXStringsTest, FindsBundlesInSearchOrderAndListsTheirLanguages) {
    fs::path a = root_ / "a", b = root_ / "b";
    write("b/Hushcoffer_KXUI.bundle/en.lproj/Common.json", "{}");
    write("b/Hushcoffer_KXUI.bundle/fr.lproj/Common.json", "{}");
    write("b/Hushcoffer_KXUI.bundle/notes.txt", "");
    EXPECT_FALSE(KXResourceBundle::find("Hushcoffer_KXUI", {a}));
    auto found = KXResourceBundle::find("Hushcoffer_KXUI", {a, b, root_});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->dir(), b / "Hushcoffer_KXUI.bundle");
    EXPECT_EQ(found->name(), "Hushcoffer_KXUI");
    EXPECT_EQ(found->languages(), (std::vector<std::string>{"en", "fr"}));
    // With HC_RESOURCES_DIR only that folder is searched; without it the
    // program's own folder comes first.
    EXPECT_EQ(KXResourceBundle::searchDirectories(), std::vector<fs::path>{root_});
    unsetenv("HC_RESOURCES_DIR");
    auto dirs = KXResourceBundle::searchDirectories();
    ASSERT_GE(dirs.size(), 3u);
    EXPECT_EQ(dirs[0], fs::read_symlink("/proc/self/exe").parent_path());
    EXPECT_EQ(dirs[1], dirs[0].parent_path() / "share" / "hushcoffer");
}

TEST_F(KXStringsTest, LookupsFromManyThreadsAgree) {
    registerProduct();
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 500; ++i) {
                if (KXStrings::text("common.cancel") != "Cancel" ||
                    KXStrings::text("err.busy", i) !=
                        "The vault is in use by: " + std::to_string(i) + ". Close them.")
                    ++wrong[static_cast<std::size_t>(t)];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

using KXStringsDeathTest = KXStringsTest;

TEST_F(KXStringsDeathTest, AMissingBundleEndsStartUpNamingIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(KXResourceBundle::require("Hushcoffer_Nowhere"), ::testing::ExitedWithCode(1),
                "unable to find bundle named Hushcoffer_Nowhere");
    // The common bundle is found on first use; without it the first lookup ends the program.
    fs::remove_all(root_ / "Hushcoffer_KXUI.bundle");
    setenv("HC_RESOURCES_DIR", (root_ / "empty").c_str(), 1);
    EXPECT_EXIT(
        {
            KXStrings::resetForTesting();
            KXStrings::text("common.cancel");
        },
        ::testing::ExitedWithCode(1), "unable to find bundle named Hushcoffer_KXUI");
}

} // namespace
