#include "vaultkit/mountmode/LockedTree.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace vaultkit;
namespace fs = std::filesystem;
using Finding = LockedTree::Finding;

namespace {

// Counts the folders the record lists, by path below `image`.
class ReadCounter {
public:
    explicit ReadCounter(fs::path image) : image_(std::move(image)) {
        LockedTree::setReadHookForTesting([this](const fs::path& dir) {
            read.push_back(dir.lexically_relative(image_).generic_string());
        });
    }
    ~ReadCounter() { LockedTree::setReadHookForTesting({}); }
    std::vector<std::string> read;

private:
    fs::path image_;
};

// An encrypted tree's shape: folders several levels deep, files in them.
void makeTree(const fs::path& image) {
    fs::create_directories(image / "AAA" / "BBB" / "CCC");
    fs::create_directories(image / "XXX");
    vaulttest::writeFile(image / "gocryptfs.conf", "{}");
    vaulttest::writeFile(image / "AAA" / "f1", "1");
    vaulttest::writeFile(image / "AAA" / "BBB" / "CCC" / "deep", "2");
    vaulttest::writeFile(image / "XXX" / "f2", "3");
}

// Folders changed less than a second before they are read are read again
// at the next record; the fixtures wait that second out once, so that the
// counts below show only what changed.
void letStampsSettle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
}

// A record's text with its checksum line.
std::string withSum(const std::string& body) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(body.data(), body.size(), out, &len, EVP_sha256(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text = body + "sha256 ";
    for (unsigned int i = 0; i < len; ++i) {
        text += hex[out[i] >> 4];
        text += hex[out[i] & 15];
    }
    return text + "\n";
}

struct Files {
    fs::path record, previous;
};

Files filesIn(const fs::path& dir) {
    return {dir / "t.tree", dir / "t.open"};
}

} // namespace

// While locked, something else changes the tree in one way; the unlock's
// comparison sees each, without listing any folder.
TEST(LockedTreeTest, ChangesWhileLockedAreSeenByStampsAlone) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
    };
    const std::vector<Case> cases = {
        {"file added in a deep folder", [](const fs::path& i) { vaulttest::writeFile(i / "AAA/BBB/CCC/new", "n"); }},
        {"file removed in a deep folder", [](const fs::path& i) { fs::remove(i / "AAA/BBB/CCC/deep"); }},
        {"file renamed in a deep folder",
         [](const fs::path& i) { fs::rename(i / "AAA/BBB/CCC/deep", i / "AAA/BBB/CCC/deep2"); }},
        {"temporary file come and gone",
         [](const fs::path& i) {
             vaulttest::writeFile(i / "AAA/BBB/.syncthing.x.tmp", "t");
             fs::remove(i / "AAA/BBB/.syncthing.x.tmp");
         }},
        {"new subfolder", [](const fs::path& i) { fs::create_directory(i / "AAA/BBB/CCC/sub"); }},
        {"folder removed", [](const fs::path& i) { fs::remove_all(i / "XXX"); }},
        {"folder renamed", [](const fs::path& i) { fs::rename(i / "AAA/BBB", i / "AAA/BBB2"); }},
        {"folder replaced by another of its name",
         [](const fs::path& i) {
             fs::rename(i / "XXX", i / "AAA/old");
             fs::create_directory(i / "XXX");
             fs::rename(i / "AAA/old", i / "AAA/BBB/old");
         }},
    };
    vaulttest::TempDir tmp;
    for (std::size_t n = 0; n < cases.size(); ++n) makeTree(tmp / std::to_string(n) / "image");
    letStampsSettle();
    for (std::size_t n = 0; n < cases.size(); ++n) {
        SCOPED_TRACE(cases[n].what);
        const fs::path image = tmp / std::to_string(n) / "image";
        const Files files = filesIn(tmp / std::to_string(n));
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unchanged);
        cases[n].change(image);
        ReadCounter reads(image);
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::changed);
        EXPECT_TRUE(reads.read.empty());
    }
}

// A lock after an unlock lists only the folders whose stamps changed (and new
// ones); a tree left alone is not listed at all, and neither comparison lists
// anything.
TEST(LockedTreeTest, RecordIsRefreshedFromTheFoldersThatChanged) {
    vaulttest::TempDir tmp;
    const fs::path image = tmp / "image";
    const Files files = filesIn(tmp.path());
    makeTree(image);
    letStampsSettle();
    {
        ReadCounter reads(image);
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
        EXPECT_EQ(std::set<std::string>(reads.read.begin(), reads.read.end()),
                  (std::set<std::string>{".", "AAA", "AAA/BBB", "AAA/BBB/CCC", "XXX"}))
            << "the first record walks the tree once";
    }
    {
        ReadCounter reads(image);
        LockedTree::suspend(files.record, files.previous); // the mount
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unknown) << "no record while unlocked";
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous)); // the lock
        EXPECT_TRUE(reads.read.empty()) << "nothing changed: nothing listed";
        EXPECT_FALSE(fs::exists(files.previous));
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unchanged);
        EXPECT_TRUE(reads.read.empty());
    }

    // this computer's own changes while unlocked: a new subtree deep down,
    // a folder gone
    fs::create_directories(image / "AAA/BBB/NEW/INNER");
    fs::remove_all(image / "XXX");
    {
        ReadCounter reads(image);
        LockedTree::suspend(files.record, files.previous);
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
        EXPECT_EQ(std::set<std::string>(reads.read.begin(), reads.read.end()),
                  (std::set<std::string>{".", "AAA/BBB", "AAA/BBB/NEW", "AAA/BBB/NEW/INNER"}));
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unchanged) << "the gone folder was dropped";
    }
    // the new folders are in the record: a change inside one is seen
    letStampsSettle();
    vaulttest::writeFile(image / "AAA/BBB/NEW/INNER/f", "x");
    EXPECT_EQ(LockedTree::compare(image, files.record), Finding::changed);

    // folders read within a second of their change are read once more
    {
        ReadCounter reads(image);
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
        ASSERT_FALSE(reads.read.empty());
    }
    {
        ReadCounter reads(image);
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
        EXPECT_EQ(reads.read, (std::vector<std::string>{"AAA/BBB/NEW/INNER"}))
            << "the folder that had just changed when last read";
    }
}

// A record file that does not read whole is no record: nothing is concluded,
// and the next record walks the tree afresh.
TEST(LockedTreeTest, DamagedRecordIsNoRecord) {
    vaulttest::TempDir tmp;
    const fs::path image = tmp / "image";
    const Files files = filesIn(tmp.path());
    makeTree(image);
    ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
    const std::string good = vaulttest::readFile(files.record);
    ASSERT_GT(good.size(), 80u);
    std::string flipped = good;
    flipped[good.find('\n') + 3] ^= 1; // a digit of the first folder's inode
    // the right checksum over a wrong count
    std::string body = good.substr(0, good.rfind("sha256 "));
    body.replace(body.find(" 1 ") + 3, 1, "9");
    const std::string changedCount = withSum(body);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"cut in the middle", good.substr(0, good.size() / 2)},
        {"cut before the last newline", good.substr(0, good.size() - 1)},
        {"a byte changed", flipped},
        {"a count changed", changedCount},
        {"other bytes", std::string("not a record\n\x01\x02 sha256 00\n")},
        {"lines without the checksum", good.substr(0, good.rfind("sha256 "))},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        vaulttest::writeFile(files.record, bytes);
        fs::remove_all(image / "XXX"); // would read as changed against the good record
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unknown);
        ReadCounter reads(image);
        ASSERT_TRUE(LockedTree::record(image, files.record, files.previous));
        EXPECT_EQ(reads.read.size(), 4u) << "walked afresh";
        EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unchanged);
        fs::create_directory(image / "XXX");
    }

    // a record whose checksum matches but whose paths leave the image
    // (the same lines with a path inside the image read, and differ)
    for (const char* path : {"../outside", "/etc", "AAA/../..", "AAA//BBB", "AAA"}) {
        SCOPED_TRACE(path);
        const std::string text = "hushcoffer-locked-tree 1 2\n1 0.000000000 0.000000000 0 .\n1 0.000000000 "
                                 "0.000000000 0 " + std::string(path) + "\n";
        vaulttest::writeFile(files.record, withSum(text));
        EXPECT_EQ(LockedTree::compare(image, files.record),
                  std::string(path) == "AAA" ? Finding::changed : Finding::unknown);
    }

    fs::remove(files.record);
    EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unknown) << "no record";
    fs::remove_all(image);
    EXPECT_EQ(LockedTree::compare(image, files.record), Finding::unknown) << "no image folder";
    EXPECT_FALSE(LockedTree::record(image, files.record, files.previous));
}
