// Reading the damaged paths out of gocryptfs -fsck's report (the lines below
// are what gocryptfs 2.3 prints).
#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include <gtest/gtest.h>

using vaultkit::GocryptfsDiskImage;

namespace {

TEST(GocryptfsDataCheck, DamagedPathsAreReadFromEveryKindOfLine) {
    const std::string output =
        "doRead 10953629: corrupt block #12: cipher: message authentication failed\n"
        "fsck: error reading file \"dir/big\" (inum 10953629): read /tmp/gocryptfs.fsck.3078475327/dir/big: "
        "input/output error\n"
        "fsck: error reading file \"dir/big\" (inum 10953629): again\n"
        "OpenDir \"p6Auoj6-NkUbZlT9kjnQeQ\": could not read gocryptfs.diriv: no such file or directory\n"
        "fsck: error reading dir \"photos/2024\": readdirent /tmp/gocryptfs.fsck.1/photos/2024: input/output "
        "error\n"
        "fsck: corrupt entry in dir \"docs\": \"GfphQLtgddwJkH0v6aq9Aw (1)\"\n"
        "fsck: corrupt entry in dir \"\": \"AAAA\"\n"
        "fsck: error reading symlink \"a \\\"quoted\\\" \\u00e9t\\xc3\\xa9\\tname\": bad\n"
        "fsck summary: 6 corrupt files, 0 files skipped\n";
    const auto check = GocryptfsDiskImage::parseFsckOutput(output);
    const std::vector<std::string> expected = {"dir/big", "photos/2024", "AAAA",
                                               "a \"quoted\" \u00e9t\u00e9\tname"};
    EXPECT_EQ(check.damaged, expected);
    // A conflict copy's name does not decrypt either, but it is no damage.
    EXPECT_EQ(check.conflictCopies, std::vector<std::string>{"docs/GfphQLtgddwJkH0v6aq9Aw (1)"});
    EXPECT_EQ(check.damagedCount, 5u);
    EXPECT_FALSE(check.whole());
}

// Entries sync clients make are reported as their own kinds; only what is
// left is damage, and a report of nothing else is whole.
TEST(GocryptfsDataCheck, ConflictCopiesAndSyncTemporariesAreNoDamage) {
    const std::string enc = "GfphQLtgddwJkH0v6aq9Aw";
    const std::string longEnc = "gocryptfs.longname.qNWpOZo45aNn0P8QUElMfor2o5jbNWxaD0G1XDMmQYw";
    const auto entry = [](const std::string& dir, const std::string& name) {
        return "fsck: corrupt entry in dir \"" + dir + "\": \"" + name + "\"\n";
    };
    const std::string output =
        entry("docs", enc + ".sync-conflict-20261210-101010-ABCDEFG") +
        entry("docs", ".syncthing." + enc + ".tmp") + entry("", enc + "-ann-laptop") +
        entry("", "gocryptfs.longname (Anns in Konflikt stehende Kopie 2026-12-10)." + longEnc.substr(19)) +
        entry("a", "." + enc + ".~1f2e3d") + entry("a", "gocryptfs (1).diriv") +
        "fsck summary: 6 corrupt files, 0 files skipped\n";
    auto check = GocryptfsDiskImage::parseFsckOutput(output);
    EXPECT_TRUE(check.damaged.empty());
    EXPECT_EQ(check.damagedCount, 0u);
    EXPECT_TRUE(check.whole());
    EXPECT_EQ(check.conflictCopies,
              (std::vector<std::string>{
                  "docs/" + enc + ".sync-conflict-20261210-101010-ABCDEFG", enc + "-ann-laptop",
                  "gocryptfs.longname (Anns in Konflikt stehende Kopie 2026-12-10)." + longEnc.substr(19),
                  "a/gocryptfs (1).diriv"}));
    EXPECT_EQ(check.syncTemporaries,
              (std::vector<std::string>{"docs/.syncthing." + enc + ".tmp", "a/." + enc + ".~1f2e3d"}));

    // With a real damage beside them, that one alone counts.
    check = GocryptfsDiskImage::parseFsckOutput(entry("docs", enc) + output);
    EXPECT_EQ(check.damaged, std::vector<std::string>{"docs/" + enc});
    EXPECT_EQ(check.damagedCount, 1u);
}

TEST(GocryptfsDataCheck, CleanReportsAndBrokenQuotes) {
    struct Case {
        const char* output;
        std::vector<std::string> damaged;
        std::size_t count;
    };
    const Case cases[] = {
        {"Reading Password from stdin\nDecrypting master key\nfsck summary: no problems found\n", {}, 0},
        {"", {}, 0},
        // an unterminated quote names nothing; the count still tells
        {"fsck: error reading file \"dir/half\nfsck summary: 1 corrupt files, 0 files skipped\n", {}, 1},
        // the count never says less than the names found
        {"fsck: error reading file \"x\" (inum 1): eio\n", {"x"}, 1},
        // lines of other programs that merely quote a name are not damage
        {"OpenDir \"abc\": could not read gocryptfs.diriv\n", {}, 0},
    };
    for (const auto& c : cases) {
        const auto check = GocryptfsDiskImage::parseFsckOutput(c.output);
        EXPECT_EQ(check.damaged, c.damaged) << c.output;
        EXPECT_EQ(check.damagedCount, c.count) << c.output;
    }
}

} // namespace
