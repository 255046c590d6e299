// hushcoffer-cli unlock makes the conflict copies a sync client left while
// the vault was locked visible (in the background, after "Unlocked").
#include "support/TestSupport.h"

#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/diskimage/GocryptfsControlSocket.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string kPassword = "plain old password";

std::string cliProgram() {
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "hushcoffer-cli";
    if (!ec && fs::exists(beside)) return beside.string();
    return HC_CLI_BUILD_PATH;
}

vaultkit::ExecResult cli(const std::vector<std::string>& args, const std::string& input = {}) {
    return vaultkit::Exec::runSync(cliProgram(), args, vaultkit::Bytes(input.begin(), input.end()), 300);
}

TEST(CliConflicts, UnlockMakesCopiesLeftWhileLockedVisible) {
    vaulttest::TempDir tmp{"hc-cli-conflicts"};
    ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
    fs::create_directory(tmp / "home");
    const fs::path vault = tmp / "home/Box";
    const fs::path image = tmp / "home/.Box.hushcoffer/data.gocryptfs";
    auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "Box"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    vaulttest::writeFile(vault / "plan.txt", "mine");
    vaulttest::writeFile(vault / "donor", "theirs");
    const vaultkit::GocryptfsControlSocket socket(vaultkit::GocryptfsDiskImage().controlSocket(image));
    const auto plan = socket.encryptPath("plan.txt");
    const auto donor = socket.encryptPath("donor");
    ASSERT_TRUE(plan && donor);
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    // What a sync client leaves while the vault is locked here.
    fs::rename(image / *donor, image / (*plan + " (Ann's conflicted copy 2024-05-01)"));

    r = cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    EXPECT_TRUE(vaulttest::waitUntil([&] { return fs::exists(vault / "plan (Conflict 1).txt"); }, 60));
    EXPECT_EQ(vaulttest::readFile(vault / "plan (Conflict 1).txt"), "theirs");
    EXPECT_EQ(vaulttest::readFile(vault / "plan.txt"), "mine");
    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
    ::unsetenv("HC_SUPPORT_DIR");
}

// A vault unlocked by the command line alone (a script, a service) is
// watched by a process of its own while it stays unlocked: a copy the client
// brings then shows without the application, and the lock ends the watcher.
TEST(CliConflicts, CopiesArrivingLaterShowWhileTheVaultStaysUnlocked) {
    vaulttest::TempDir tmp{"hc-cli-watch"};
    ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
    fs::create_directory(tmp / "home");
    const fs::path vault = tmp / "home/Box";
    const fs::path image = tmp / "home/.Box.hushcoffer/data.gocryptfs";
    auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "Box"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    r = cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;

    vaulttest::writeFile(vault / "plan.txt", "mine");
    vaulttest::writeFile(vault / "donor", "theirs");
    const fs::path socketPath = vaultkit::GocryptfsDiskImage().controlSocket(image);
    const vaultkit::GocryptfsControlSocket socket(socketPath);
    const auto plan = socket.encryptPath("plan.txt");
    const auto donor = socket.encryptPath("donor");
    ASSERT_TRUE(plan && donor);
    fs::rename(image / *donor, image / (*plan + ".sync-conflict-20261210-101010-ABCDEFG"));
    EXPECT_TRUE(vaulttest::waitUntil([&] { return fs::exists(vault / "plan (Conflict 1).txt"); }, 60));
    EXPECT_EQ(vaulttest::readFile(vault / "plan (Conflict 1).txt"), "theirs");
    // The watcher holds its claim on the mount; a second one ends at once.
    EXPECT_EQ(vaultkit::GocryptfsConflictWatcher::claim(socketPath), -1);
    r = cli({"watch-conflicts", vault.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.stderrText.find("watched already"), std::string::npos) << r.stderrText;

    // The lock is never refused for the watcher, and ends it.
    r = cli({"lock", vault.string()});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    const int claim = vaultkit::GocryptfsConflictWatcher::claim(socketPath);
    EXPECT_GE(claim, 0);
    if (claim >= 0) ::close(claim);
    ::unsetenv("HC_SUPPORT_DIR");
}

} // namespace
