// The folder a vault opens in when its visible folder may not be used: its
// name, how a folder left behind is reused or refused, and its removal.
#include "support/TestSupport.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/OutsideFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// XDG_RUNTIME_DIR pointed at a folder of the test while it runs.
class RuntimeDir {
public:
    explicit RuntimeDir(const fs::path& dir) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved_ = old;
        fs::create_directories(dir);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    ~RuntimeDir() {
        if (saved_.empty()) ::unsetenv("XDG_RUNTIME_DIR");
        else ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    }

private:
    std::string saved_;
};

} // namespace

TEST(OutsideFolder, NamesAreStablePerVaultApartForSameNamesAndFitAFileName) {
    const std::string a = OutsideFolder::entryName("/home/ann/Insync/.Notes.hushcoffer", "Notes");
    EXPECT_EQ(a, OutsideFolder::entryName("/home/ann/Insync/.Notes.hushcoffer", "Notes"));
    EXPECT_EQ(a.rfind("Notes-", 0), 0u) << a;
    EXPECT_EQ(a.size(), std::string("Notes-").size() + 8);
    EXPECT_NE(a, OutsideFolder::entryName("/home/ann/Other/.Notes.hushcoffer", "Notes"))
        << "two vaults of one name must not share a place";

    // A name of 254 bytes of two-byte characters is cut at a character's start.
    std::string longName;
    while (longName.size() < 254)
        longName += "\xC3\xA9"; // é
    const std::string cut = OutsideFolder::entryName("/x/.y.hushcoffer", longName);
    EXPECT_LE(cut.size(), 255u);
    const std::string head = cut.substr(0, cut.size() - 9);
    EXPECT_EQ(head.size() % 2, 0u) << "no character split";
    EXPECT_EQ(longName.rfind(head, 0), 0u);
}

TEST(OutsideFolder, LivesInThePrivateRuntimeFolder) {
    vaulttest::TempDir tmp{"hc-outside"};
    RuntimeDir runtime(tmp / "run");
    const fs::path place = OutsideFolder::of("/a/.V.hushcoffer", "V");
    EXPECT_EQ(place.parent_path(), tmp / "run" / "hushcoffer" / "vaults");
    OutsideFolder::prepare(place);
    for (const fs::path& p : {place, place.parent_path(), place.parent_path().parent_path()})
        EXPECT_EQ(modeOf(p), 0700u) << p;

    // Without a runtime folder of this user: a private folder in /tmp.
    ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_EQ(OutsideFolder::base(), fs::path("/tmp/hushcoffer-" + std::to_string(::geteuid())) / "vaults");
}

// A folder left by an earlier run (a crash) is reused when empty; one that
// holds anything, or is no real folder, is refused and left exactly as it is.
TEST(OutsideFolder, ALeftoverIsReusedOnlyWhenEmptyAndNeverEmptied) {
    vaulttest::TempDir tmp{"hc-outside"};
    RuntimeDir runtime(tmp / "run");
    const fs::path place = OutsideFolder::of("/a/.V.hushcoffer", "V");
    fs::create_directories(place);
    fs::permissions(place, fs::perms::all);
    EXPECT_NO_THROW(OutsideFolder::prepare(place));
    EXPECT_EQ(modeOf(place), 0700u) << "made private again";

    vaulttest::writeFile(place / ".left", "keep me");
    EXPECT_THROW(OutsideFolder::prepare(place), VaultError);
    OutsideFolder::removeIfEmpty(place);
    EXPECT_EQ(vaulttest::readFile(place / ".left"), "keep me");

    fs::remove_all(place);
    fs::create_directory(tmp / "elsewhere");
    fs::create_directory_symlink(tmp / "elsewhere", place);
    EXPECT_THROW(OutsideFolder::prepare(place), VaultError) << "a link could lead anywhere";
    OutsideFolder::removeIfEmpty(place);
    EXPECT_TRUE(fs::is_symlink(place));
    EXPECT_TRUE(fs::is_directory(tmp / "elsewhere"));

    fs::remove(place);
    fs::create_directory(place);
    OutsideFolder::removeIfEmpty(place);
    EXPECT_FALSE(fs::exists(place)) << "an empty one goes";
}

// The place is refused when a sync client would see it after all.
TEST(OutsideFolder, APlaceInsideASyncedFolderIsRefused) {
    vaulttest::TempDir tmp{"hc-outside"};
    fs::create_directories(tmp / "synced" / ".stfolder");
    RuntimeDir runtime(tmp / "synced" / "run");
    const fs::path place = OutsideFolder::of("/a/.V.hushcoffer", "V");
    try {
        OutsideFolder::prepare(place);
        FAIL() << "prepared inside a Syncthing folder";
    } catch (const VaultError& e) {
        EXPECT_NE(std::string(e.what()).find("Syncthing"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(place));
}
