// hushcoffer-cli unlock --keyring, the real program against a real vault and a
// real Secret Service (gnome-keyring-daemon on a private bus): it uses the
// stored password, falls back to asking when none is stored, reports a stale
// one or a missing keyring, and never stores or deletes an item itself.
#include "support/TestKeyring.h"
#include "support/CliRunner.h"
#include "support/TestSupport.h"
#include "vaultkit/keyring/SecretServiceKeyring.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using vaulttest::TestKeyring;

namespace {

using clitest::CliRun;
using clitest::cliPath;

const std::string kPassword = "plain old password";

class CliKeyringTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
        fs::create_directory(tmp / "home");
        vault = tmp / "home" / "My Vault";
        auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "My Vault"}, kPassword + "\n");
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
        id = vaultkit::Vault::open(tmp / "home" / ".My Vault.hushcoffer")->config().id.text();
    }
    void TearDown() override {
        cli({"lock", "--force", vault.string()});
        ::unsetenv("HC_SUPPORT_DIR");
    }
    CliRun cli(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt) {
        return clitest::runCli(cliPath(), args, input);
    }
    bool unlocked() { return cli({"status", vault.string()}).out.find("\tunlocked\t") != std::string::npos; }

    TestKeyring keyring;
    vaulttest::TempDir tmp{"hc-cli-keyring"};
    fs::path vault;
    std::string id;
};

TEST_F(CliKeyringTest, UsesTheStoredPasswordAndNeverStoresOne) {
    // nothing stored: the password is asked as without --keyring, and the
    // command stores nothing
    auto r = cli({"unlock", "--keyring", "--password-stdin", vault.string()}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("No password for \"My Vault\" is stored in the keyring"), std::string::npos)
        << r.err;
    EXPECT_TRUE(unlocked());
    EXPECT_TRUE(keyring.items(id).empty());
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);

    // stored (as the application stores it): no input needed at all
    vaultkit::SecretServiceKeyring().store(id, "My Vault", kPassword);
    r = cli({"unlock", "--keyring", vault.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Unlocked: " + vault.string() + "\n");
    EXPECT_TRUE(unlocked());
    EXPECT_EQ(r.err.find(kPassword), std::string::npos);
    EXPECT_EQ(r.out.find(kPassword), std::string::npos);
}

TEST_F(CliKeyringTest, AStalePasswordOrAMissingKeyringFailsClearlyAndLeavesTheItem) {
    vaultkit::SecretServiceKeyring().store(id, "My Vault", "an older password");
    auto r = cli({"unlock", "--keyring", vault.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "hushcoffer-cli: the password stored in the keyring does not open \"My Vault\" (it was "
                     "changed since it was stored)\n");
    EXPECT_FALSE(unlocked());
    // the application owns the item: the command-line tool leaves it
    ASSERT_EQ(keyring.items(id).size(), 1u);
    EXPECT_EQ(keyring.items(id)[0].secret, "an older password");

    keyring.stop();
    r = cli({"unlock", "--keyring", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "hushcoffer-cli: No keyring is running on this desktop (such as GNOME Keyring, KWallet or "
              "KeePassXC), so no password can be stored or read.\n");
    EXPECT_FALSE(unlocked());
}

} // namespace
