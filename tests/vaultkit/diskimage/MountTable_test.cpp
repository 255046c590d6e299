#include "vaultkit/diskimage/MountTable.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using vaultkit::MountEntry;
using vaultkit::MountTable;

namespace {

TEST(MountTable, ParsesAFullLineWithOptionalFields) {
    const auto t =
        MountTable::parse("36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 shared:7 - ext3 /dev/root "
                          "rw,errors=continue\n");
    ASSERT_EQ(t.size(), 1u);
    const MountEntry& e = t[0];
    EXPECT_EQ(e.mountId, 36);
    EXPECT_EQ(e.parentId, 35);
    EXPECT_EQ(e.major, 98u);
    EXPECT_EQ(e.minor, 0u);
    EXPECT_EQ(e.root, "/mnt1");
    EXPECT_EQ(e.mountPoint, "/mnt/parent");
    EXPECT_EQ(e.options, "rw,noatime");
    EXPECT_EQ(e.fsType, "ext3");
    EXPECT_EQ(e.source, "/dev/root");
    EXPECT_EQ(e.superOptions, "rw,errors=continue");
}

TEST(MountTable, UnescapesTheKernelsOctalEscapes) {
    struct Case {
        const char* field;
        std::string expected;
    };
    const Case cases[] = {
        {R"(/a\040b)", "/a b"},
        {R"(/tab\011x)", "/tab\tx"},
        {R"(/nl\012x)", "/nl\nx"},
        {R"(/back\134slash)", "/back\\slash"},
        {R"(\040\040)", "  "},
        {R"(/é)", "/é"},            // non-ASCII stays raw
        {R"(/x\377)", "/x\xff"},    // the highest byte
        {R"(/x\400)", R"(/x\400)"}, // above a byte: literal
        {R"(/x\08)", R"(/x\08)"},   // not three octal digits
        {R"(/x\04)", R"(/x\04)"},   // cut short at the end
        {R"(/x\)", R"(/x\)"},       // a lone backslash at the end
        {R"(/x\\040)", "/x\\ "},    // backslash, then an escape
        {R"(/x\000y)", std::string("/x\0y", 4)},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MountTable::unescape(c.field), c.expected) << c.field;
}

TEST(MountTable, EscapedFieldsOfAGocryptfsMount) {
    const auto t =
        MountTable::parse("46 28 0:41 / /tmp/v\\040a,b/M\\303\\274 rw,nosuid,nodev,relatime - fuse.gocryptfs "
                          "/tmp/v\\040a_b/.x.hushcoffer/data.gocryptfs rw,user_id=1001,group_id=1001\n");
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].mountPoint, "/tmp/v a,b/Mü");
    EXPECT_EQ(t[0].source, "/tmp/v a_b/.x.hushcoffer/data.gocryptfs");
    EXPECT_EQ(t[0].fsType, "fuse.gocryptfs");
    EXPECT_EQ(t[0].minor, 41u);
}

TEST(MountTable, SkipsLinesItCannotUnderstandAndKeepsTheRest) {
    const std::string good = "1 0 0:1 / / rw - rootfs rootfs rw\n";
    struct Case {
        const char* what;
        std::string line;
        bool kept;
    };
    const Case cases[] = {
        {"empty line", "\n", false},
        {"blank line", "   \n", false},
        {"too few fields", "1 0 0:1 / /\n", false},
        {"no separator", "1 0 0:1 / /x rw shared:1 ext4 /dev/sda rw\n", false},
        {"separator but no type", "1 0 0:1 / /x rw -\n", false},
        {"type without source", "1 0 0:1 / /x rw - tmpfs\n", true},
        {"type and source, no super options", "1 0 0:1 / /x rw - tmpfs none\n", true},
        {"non-numeric id", "a 0 0:1 / /x rw - tmpfs none rw\n", false},
        {"negative-looking id", "-1 0 0:1 / /x rw - tmpfs none rw\n", true},
        {"device without colon", "1 0 01 / /x rw - tmpfs none rw\n", false},
        {"device with letters", "1 0 0:x / /x rw - tmpfs none rw\n", false},
        {"huge number", "99999999999999999999999 0 0:1 / /x rw - tmpfs none rw\n", false},
        {"carriage return line end", "1 0 0:1 / /x rw - tmpfs none rw\r\n", true},
        {"double spaces", "1  0 0:1 /  /x rw - tmpfs none rw\n", true},
        {"a '-' as mount point is not the separator", "1 0 0:1 / - rw - tmpfs none rw\n", true},
    };
    for (const auto& c : cases) {
        const auto t = MountTable::parse(good + c.line + good);
        EXPECT_EQ(t.size(), c.kept ? 3u : 2u) << c.what;
        if (c.kept && t.size() == 3) {
            EXPECT_EQ(t[1].fsType, "tmpfs") << c.what;
            EXPECT_EQ(t[1].superOptions.empty() || t[1].superOptions == "rw", true) << c.what;
        }
    }
    // The last line needs no line feed.
    EXPECT_EQ(MountTable::parse("1 0 0:1 / /x rw - tmpfs none rw").size(), 1u);
    EXPECT_TRUE(MountTable::parse("").empty());
}

TEST(MountTable, SurvivesArbitraryBytes) {
    std::mt19937 rng(12345);
    const std::string alphabet = std::string("0123456789 :-/\\\n\r\t,abc\xff\x80") + std::string(1, '\0');
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int len = static_cast<int>(rng() % 200);
        for (int i = 0; i < len; ++i)
            text.push_back(alphabet[rng() % alphabet.size()]);
        const auto t = MountTable::parse(text);
        for (const auto& e : t) {
            EXPECT_FALSE(e.mountPoint.empty());
            EXPECT_FALSE(e.fsType.empty());
        }
    }
}

TEST(MountTable, ReadsThisProcesssTable) {
    const auto t = MountTable::read();
    ASSERT_FALSE(t.empty());
    EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](const MountEntry& e) { return e.mountPoint == "/"; }));
    EXPECT_TRUE(MountTable::read("/nonexistent/mountinfo").empty());
}

} // namespace
