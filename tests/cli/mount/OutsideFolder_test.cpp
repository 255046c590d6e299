// hushcoffer-cli with a vault in a folder whose sync client cannot be told to
// leave the visible folder out: it is opened outside the synced folder, and
// every command finds it there.
#include "support/CliRunner.h"
#include "support/TestSupport.h"

#include "vaultkit/diskimage/GocryptfsControlSocket.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/diskimage/MountTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

using clitest::CliRun;
using clitest::cliPath;

const std::string kPassword = "plain old password";

bool mountedAt(const fs::path& p) {
    for (const auto& e : vaultkit::MountTable::read())
        if (e.mountPoint == p.string()) return true;
    return false;
}

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

class CliOutsideTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
            if (const char* v = std::getenv(name)) saved.emplace_back(name, v);
        fs::create_directories(tmp / "home");
        fs::create_directories(tmp / "run");
        ::setenv("HOME", (tmp / "home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (tmp / "run").c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
        root = tmp / "Insync";
        parent = root / "Docs";
        fs::create_directories(parent);
        vault = parent / "My Vault";
    }
    void TearDown() override {
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "HC_SUPPORT_DIR"})
            ::unsetenv(name);
        for (const auto& [name, value] : saved)
            ::setenv(name.c_str(), value.c_str(), 1);
    }
    CliRun cli(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt) {
        return clitest::runCli(cliPath(), args, input);
    }

    vaulttest::TempDir tmp{"hc-cli-outside"};
    std::vector<std::pair<std::string, std::string>> saved;
    fs::path root, parent, vault;
};

} // namespace

TEST_F(CliOutsideTest, UnlockStatusConflictsImportAndLockUseThePlaceOutside) {
    auto r = cli({"create", "--password-stdin", parent.string(), "My Vault"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    fs::create_directories(root / ".insync-trash"); // the folder is now Insync's

    // Adding it again (another computer would) is not refused.
    r = cli({"add", vault.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Insync keeps " + root.string() + " in sync and cannot be told"), std::string::npos)
        << r.err;

    r = cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string prefix = "Unlocked: ";
    ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out;
    const fs::path place = firstLine(r.out).substr(prefix.size());
    EXPECT_EQ(place.parent_path(), tmp / "run" / "hushcoffer" / "vaults");
    EXPECT_TRUE(mountedAt(place));
    EXPECT_FALSE(mountedAt(vault));
    EXPECT_NE(r.err.find("My Vault: Unlocked at " + place.string() + ", outside the synced folder: Insync keeps " +
                         root.string() + " in sync"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(modeOf(vault), 0555u);

    r = cli({"status", vault.string()});
    EXPECT_EQ(r.out, "My Vault\tunlocked\t" + place.string() + "\n");
    EXPECT_NE(r.err.find("Unlocked at " + place.string()), std::string::npos) << r.err;
    r = cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.out, "Already unlocked: " + place.string() + "\n");
    r = cli({"mount-mode", vault.string()});
    EXPECT_NE(r.out.find("My Vault\tmounted\tshared"), std::string::npos) << r.out << r.err;

    // The watcher the unlock left runs on the place outside: a copy the
    // client brings shows there.
    const fs::path image = parent / ".My Vault.hushcoffer" / "data.gocryptfs";
    vaulttest::writeFile(place / "plan.txt", "mine");
    vaulttest::writeFile(place / "donor", "theirs");
    const vaultkit::GocryptfsControlSocket socket(vaultkit::GocryptfsDiskImage().controlSocket(image));
    const auto plan = socket.encryptPath("plan.txt");
    const auto donor = socket.encryptPath("donor");
    ASSERT_TRUE(plan && donor);
    fs::rename(image / *donor, image / (*plan + ".sync-conflict-20261210-101010-ABCDEFG"));
    EXPECT_TRUE(vaulttest::waitUntil([&] { return fs::exists(place / "plan (Conflict 1).txt"); }, 60));
    EXPECT_EQ(vaulttest::readFile(place / "plan (Conflict 1).txt"), "theirs");

    vaulttest::writeFile(tmp / "report.txt", "quarterly");
    r = cli({"import", vault.string(), (tmp / "report.txt").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vaulttest::readFile(place / "report.txt"), "quarterly");
    EXPECT_FALSE(fs::exists(vault / "report.txt"));

    r = cli({"lock", vault.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Locked: " + vault.string() + "\n");
    EXPECT_FALSE(mountedAt(place));
    EXPECT_FALSE(fs::exists(place)) << "the empty folder outside goes";
    EXPECT_EQ(cli({"status", vault.string()}).out, "My Vault\tlocked\t" + vault.string() + "\n");

    r = cli({"check-data", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A vault made in such a folder opens outside it from its first unlock on.
TEST_F(CliOutsideTest, CreateInAFolderNoClientCanBeKeptOutOfOpensOutside) {
    fs::create_directories(root / ".insync-trash");
    auto r = cli({"create", "--password-stdin", parent.string(), "My Vault"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string said = "created and unlocked at ";
    const auto at = r.err.find(said);
    ASSERT_NE(at, std::string::npos) << r.err;
    const fs::path place = firstLine(r.err.substr(at + said.size()));
    EXPECT_EQ(place.parent_path(), tmp / "run" / "hushcoffer" / "vaults");
    EXPECT_TRUE(mountedAt(place));
    EXPECT_FALSE(mountedAt(vault));
    EXPECT_TRUE(fs::is_empty(vault));
    EXPECT_EQ(modeOf(vault), 0555u);
    EXPECT_NE(r.err.find("My Vault: Unlocked at " + place.string()), std::string::npos) << r.err;
    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
    EXPECT_FALSE(fs::exists(place));
}
