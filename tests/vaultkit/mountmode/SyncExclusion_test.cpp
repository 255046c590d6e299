#include "vaultkit/mountmode/SyncExclusion.h"

#include "support/ExpectVaultError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

} // namespace

TEST(SyncExclusion, PatternsAreAnchoredAndEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {"Notes", "/Notes"},
        {"Work/Private Notes", "/Work/Private Notes"},
        {"a*b?[c]{d}", "/a\\*b\\?\\[c\\]\\{d\\}"},
        {"back\\slash", "/back\\\\slash"},
        {"#include", "/#include"},
        {"!keep", "/!keep"},
    };
    for (const auto& [relative, pattern] : cases)
        EXPECT_EQ(SyncExclusion::syncthingPattern(relative), pattern) << relative;
}

TEST(SyncExclusion, LinesAndIncludesAreReadAsSyncthingReadsThem) {
    EXPECT_TRUE(SyncExclusion::holdsLine("*.tmp\n/Notes\n", "/Notes"));
    EXPECT_TRUE(SyncExclusion::holdsLine("/Notes\r\n", "/Notes"));
    EXPECT_TRUE(SyncExclusion::holdsLine("  /Notes  ", "/Notes"));
    EXPECT_FALSE(SyncExclusion::holdsLine("/Notes/sub\n//Notes\n/Notesx\n", "/Notes"));
    EXPECT_FALSE(SyncExclusion::holdsLine("", "/Notes"));
    EXPECT_EQ(SyncExclusion::includes("#include  common.txt\n/a\n#include /abs/x\n#include\n"),
              (std::vector<std::string>{"common.txt", "/abs/x"}));
}

// A vault two levels below a Syncthing folder root: the root's .stignore gets
// the anchored line once, the user's lines stay, a second call changes
// nothing, and a pattern already in an included file is not added again.
TEST(SyncExclusion, TheRootsIgnoreFileGetsTheLineOnceAndKeepsTheUsersLines) {
    vaulttest::TempDir tmp("hc-stignore");
    const fs::path root = tmp / "Sync";
    fs::create_directories(root / ".stfolder");
    fs::create_directories(root / "Work");
    put(root / ".stignore", "// mine\n*.bak");
    fs::permissions(root / ".stignore", fs::perms(0640));

    const auto first = SyncExclusion::apply(root / "Work" / "Notes");
    ASSERT_EQ(first.entries.size(), 1u);
    EXPECT_EQ(first.entries[0].client, "Syncthing");
    EXPECT_EQ(first.entries[0].file, root / ".stignore");
    EXPECT_TRUE(first.entries[0].written);
    const std::string text = slurp(root / ".stignore");
    EXPECT_TRUE(text.starts_with("// mine\n*.bak\n")) << text;
    EXPECT_TRUE(SyncExclusion::holdsLine(text, "/Work/Notes")) << text;
    EXPECT_EQ(fs::status(root / ".stignore").permissions() & fs::perms::all, fs::perms(0640));

    const auto second = SyncExclusion::apply(root / "Work" / "Notes");
    ASSERT_EQ(second.entries.size(), 1u);
    EXPECT_FALSE(second.entries[0].written);
    EXPECT_EQ(slurp(root / ".stignore"), text);

    // Kept in an included file: in force already.
    put(root / "Other" / ".stfolder" / "x", "");
    put(root / "Other" / ".stignore", "#include shared-ignores.txt\n");
    put(root / "Other" / "shared-ignores.txt", "/Box\n");
    const auto included = SyncExclusion::apply(root / "Other" / "Box");
    ASSERT_EQ(included.entries.size(), 2u); // Other's root, then Sync's
    EXPECT_FALSE(included.entries[0].written);
    EXPECT_EQ(slurp(root / "Other" / ".stignore"), "#include shared-ignores.txt\n");
    EXPECT_TRUE(included.entries[1].written);
    EXPECT_TRUE(SyncExclusion::holdsLine(slurp(root / ".stignore"), "/Other/Box"));
}

TEST(SyncExclusion, OutsideSyncthingNothingIsWritten) {
    vaulttest::TempDir tmp("hc-stignore");
    fs::create_directories(tmp / "Documents");
    EXPECT_TRUE(SyncExclusion::apply(tmp / "Documents" / "Notes").entries.empty());
    EXPECT_FALSE(fs::exists(tmp / "Documents" / ".stignore"));
    EXPECT_FALSE(fs::exists(tmp / ".stignore"));
}

// An exclusion that cannot be written is an error (the caller must not mount),
// and the folder root is left as it was.
TEST(SyncExclusion, AnIgnoreFileThatCannotBeWrittenIsAnError) {
    vaulttest::TempDir tmp("hc-stignore");
    fs::create_directories(tmp / ".stfolder");
    fs::create_directories(tmp / ".stignore" / "inside"); // a folder where the file belongs
    const auto e = vaulttest::vaultErrorOf([&] { SyncExclusion::apply(tmp / "Notes"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), VaultError::Case::io);
    EXPECT_TRUE(fs::is_directory(tmp / ".stignore" / "inside"));
    EXPECT_FALSE(fs::exists(tmp / "Notes"));
}
