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
        "fsck: error reading dir \"photos/2024\": readdirent /tmp/gocryptfs.fsck.1/photos/2024: input/output error\n"
        "fsck: corrupt entry in dir \"docs\": \"GfphQLtgddwJkH0v6aq9Aw (1)\"\n"
        "fsck: corrupt entry in dir \"\": \"AAAA\"\n"
        "fsck: error reading symlink \"a \\\"quoted\\\" \\u00e9t\\xc3\\xa9\\tname\": bad\n"
        "fsck summary: 6 corrupt files, 0 files skipped\n";
    const auto check = GocryptfsDiskImage::parseFsckOutput(output);
    const std::vector<std::string> expected = {"dir/big", "photos/2024", "docs/GfphQLtgddwJkH0v6aq9Aw (1)", "AAAA",
                                               "a \"quoted\" \u00e9t\u00e9\tname"};
    EXPECT_EQ(check.damaged, expected);
    EXPECT_EQ(check.damagedCount, 6u);
    EXPECT_FALSE(check.whole());
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
