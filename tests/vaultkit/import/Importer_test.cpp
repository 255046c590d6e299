#include "vaultkit/import/Importer.h"
#include "vaultkit/vault/Vault.h"

#include "../../support/SharedRuleCases.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vaultkit;

namespace {

class ImporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "hc-importer-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }
    void write(const fs::path& p, std::size_t size) {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << std::string(size, 'x');
    }
    fs::path root;
};

// The cases the window and hushcoffer-cli import run too
// (tests/support/SharedRuleCases.h).
TEST_F(ImporterTest, ASelectionHoldingTheVaultIsRefusedWithThatSourcesName) {
    VaultConfig config;
    config.name = "V";
    const Vault vault(root / ".V.hushcoffer", config);
    for (const auto& c : sharedrules::selectionCases(root)) {
        SCOPED_TRACE(c.what);
        const auto holding = Importer::sourceHoldingVault(c.sources, vault);
        ASSERT_EQ(holding.has_value(), c.refused.has_value());
        if (holding) {
            EXPECT_EQ(holding->filename().string(), *c.refused);
        }
    }
}

TEST_F(ImporterTest, UniqueDestinationTakesTheFirstFreeNumber) {
    write(root / "report.pdf", 1);
    write(root / "report 2.pdf", 1);
    write(root / "notes", 1);
    fs::create_directory(root / "Photos");
    fs::create_symlink("nowhere", root / "dangling"); // a dangling link is taken too
    fs::create_directory(root / "archive.tar.gz");

    const struct {
        std::string name;
        std::string expected;
    } cases[] = {
        {"report.pdf", "report 3.pdf"},
        {"notes", "notes 2"},
        {"Photos", "Photos 2"},
        {"dangling", "dangling 2"},
        {"archive.tar.gz", "archive.tar 2.gz"},
        {"new.txt", "new.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Importer::uniqueDestination(root / c.name), root / c.expected) << c.name;
    }
}

TEST_F(ImporterTest, InventoryCountsEntriesAndFileBytes) {
    fs::create_directory(root / "empty");
    const auto empty = Importer::inventory(root / "empty");
    EXPECT_EQ(empty.entries.size(), 1u);
    EXPECT_EQ(empty.entries.at("."), Importer::directoryValue);
    EXPECT_EQ(empty.bytes, 0);

    // three files of 10 bytes and one subfolder: the folder, the subfolder and
    // the three files
    write(root / "tree/a", 10);
    write(root / "tree/b", 10);
    write(root / "tree/sub/c", 10);
    const auto tree = Importer::inventory(root / "tree");
    EXPECT_EQ(tree.entries.size(), 5u);
    EXPECT_EQ(tree.bytes, 30);
    const std::map<std::string, std::int64_t> expected{
        {".", -1}, {"a", 10}, {"b", 10}, {"sub", -1}, {"sub/c", 10}};
    EXPECT_EQ(tree.entries, expected);

    // a single file is its own "." entry
    const auto file = Importer::inventory(root / "tree/a");
    EXPECT_EQ(file.entries, (std::map<std::string, std::int64_t>{{".", 10}}));
    EXPECT_EQ(file.bytes, 10);

    // a vanished item
    const auto gone = Importer::inventory(root / "gone");
    EXPECT_EQ(gone.entries, (std::map<std::string, std::int64_t>{{".", Importer::unreadableValue}}));
}

// A wide and deep tree, listed by several threads at once: every entry once,
// with its value, the same as a plain recursive listing gives, every time.
TEST_F(ImporterTest, InventoryOfABranchyTreeMatchesAPlainListing) {
    const fs::path tree = root / "branchy";
    for (int top = 0; top < 12; ++top)
        for (int depth = 0; depth <= top % 4; ++depth) {
            fs::path folder = tree / ("t" + std::to_string(top));
            for (int d = 0; d < depth; ++d)
                folder /= "d" + std::to_string(d);
            for (int f = 0; f < 15; ++f)
                write(folder / ("f" + std::to_string(f)), static_cast<std::size_t>(top * 7 + depth + f));
            fs::create_directories(folder / "empty");
        }
    std::map<std::string, std::int64_t> expected{{".", Importer::directoryValue}};
    std::int64_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
        const std::string rel = fs::relative(e.path(), tree).string();
        if (e.is_directory()) {
            expected[rel] = Importer::directoryValue;
        } else {
            expected[rel] = static_cast<std::int64_t>(e.file_size());
            bytes += expected[rel];
        }
    }
    for (int run = 0; run < 5; ++run) {
        const auto inventory = Importer::inventory(tree);
        EXPECT_EQ(inventory.entries, expected) << "run " << run;
        EXPECT_EQ(inventory.bytes, bytes);
    }
}

TEST_F(ImporterTest, LinksAreEnteredAsLinksNeverFollowed) {
    write(root / "big", 5000);
    fs::create_directory(root / "dir");
    fs::create_directory_symlink(root, root / "dir/loop"); // would recurse forever if followed
    fs::create_symlink(root / "big", root / "dir/tobig");
    const auto inv = Importer::inventory(root / "dir");
    EXPECT_EQ(inv.entries.at("loop"), Importer::symlinkValue);
    EXPECT_EQ(inv.entries.at("tobig"), Importer::symlinkValue);
    EXPECT_EQ(inv.entries.size(), 3u);
    EXPECT_EQ(inv.bytes, 0);

    // the item itself a link to a folder: not descended into
    const auto top = Importer::inventory(root / "dir/loop");
    EXPECT_EQ(top.entries, (std::map<std::string, std::int64_t>{{".", Importer::symlinkValue}}));

    // a link compared against a regular file of the target's size differs
    Importer::Inventory asFile{{{".", -1}, {"tobig", 5000}}, 5000};
    EXPECT_EQ(Importer::compare(inv, asFile),
              (std::vector<std::string>{"missing: loop", "size differs: tobig"}));
}

TEST_F(ImporterTest, UnreadableFolderIsEnteredButNotListed) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    write(root / "top/closed/secret", 3);
    write(root / "top/open", 4);
    fs::permissions(root / "top/closed", fs::perms::none);
    const auto inv = Importer::inventory(root / "top");
    fs::permissions(root / "top/closed", fs::perms::owner_all);
    EXPECT_EQ(inv.entries, (std::map<std::string, std::int64_t>{{".", -1}, {"closed", -1}, {"open", 4}}));
}

TEST(ImporterCompare, ListsProblemsInPathOrderAndStopsAfter51) {
    Importer::Inventory source;
    source.entries = {{".", -1}, {"b", 3}, {"a", 2}, {"c", -2}, {"d/e", 1}};
    Importer::Inventory copy;
    copy.entries = {{".", -1}, {"a", 2}, {"b", 4}, {"c", -1}};
    EXPECT_EQ(Importer::compare(source, copy, {"cp: failed"}),
              (std::vector<std::string>{"cp: failed", "size differs: b", "size differs: c", "missing: d/e"}));
    EXPECT_TRUE(Importer::compare(source, source).empty());

    Importer::Inventory many;
    for (int i = 0; i < 200; ++i)
        many.entries.emplace("f" + std::to_string(1000 + i), 1);
    const auto withTool = Importer::compare(many, Importer::Inventory{}, {"cp: boom"});
    ASSERT_EQ(withTool.size(), 51u);
    EXPECT_EQ(withTool.front(), "cp: boom");
    EXPECT_EQ(withTool[1], "missing: f1000");
    EXPECT_EQ(withTool.back(), "missing: f1049");
    EXPECT_EQ(Importer::compare(many, Importer::Inventory{}).size(), 51u);
}

} // namespace
