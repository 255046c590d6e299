#include "cli/CliApp.h"
#include "cli/CliText.h"
#include "cli/CommandLine.h"

#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

using namespace cli;
using Args = std::vector<std::string>;

TEST(CliCommandLine, OptionsBeforeOrAfterArguments) {
    struct Case {
        Args argv;
        std::string command;
        Args args;
        bool passwordStdin, force, help;
    };
    const Case cases[] = {
        {{"lock", "--force", "/v"}, "lock", {"/v"}, false, true, false},
        {{"lock", "/v", "--force"}, "lock", {"/v"}, false, true, false},
        {{"--password-stdin", "unlock", "/v"}, "unlock", {"/v"}, true, false, false},
        {{"create", "/p", "--password-stdin", "N"}, "create", {"/p", "N"}, true, false, false},
        {{"create", "--", "/p", "-dash"}, "create", {"/p", "-dash"}, false, false, false},
        {{"status"}, "status", {}, false, false, false},
        {{"status", "-h"}, "status", {}, false, false, true},
        {{"--help"}, "", {}, false, false, true},
        {{"add", "-"}, "add", {"-"}, false, false, false},
    };
    for (const auto& c : cases) {
        auto line = CommandLine::parse(c.argv);
        EXPECT_EQ(line.command, c.command);
        EXPECT_EQ(line.args, c.args);
        EXPECT_EQ(line.passwordStdin, c.passwordStdin);
        EXPECT_EQ(line.force, c.force);
        EXPECT_EQ(line.help, c.help);
    }
    // --keyring belongs to unlock alone; it leaves --password-stdin for the
    // case that no password is stored
    const auto keyring = CommandLine::parse({"unlock", "/v", "--keyring", "--password-stdin"});
    EXPECT_TRUE(keyring.keyring);
    EXPECT_TRUE(keyring.passwordStdin);
    EXPECT_FALSE(CommandLine::parse({"unlock", "/v"}).keyring);
    for (const Args& bad : {Args{"nope"}, Args{"status", "--force"}, Args{"lock", "--password-stdin", "/v"},
                            Args{"unlock", "--password", "/v"}, Args{"--force"}, Args{"lock", "--keyring", "/v"},
                            Args{"passwd", "--keyring", "/v"}})
        EXPECT_THROW(CommandLine::parse(bad), CommandLine::UsageError) << bad.front();
}

TEST(CliText, FormatsTheErrorTextsOfTheLibrary) {
    using vaultkit::VaultError;
    EXPECT_EQ(CliText::format("a %@ b %@ %% %2$@", {"x", "y"}), "a x b y % y");
    EXPECT_EQ(CliText::describe(VaultError::wrongPassword()), "The password is not correct.");
    EXPECT_EQ(CliText::describe(VaultError::busy({"sleep", "bash"})),
              "The vault is in use by: sleep, bash. Close those programs and try again.");
    EXPECT_EQ(CliText::describe(VaultError::busy({})),
              "The vault is in use by: ?. Close those programs and try again.");
    EXPECT_EQ(CliText::describe(VaultError::io("marker mismatch")), "System error (io): marker mismatch");
    EXPECT_EQ(CliText::describe(VaultError::hdiutil("attach", "line one\nline two")),
              "System error (attach): line one line two")
        << "always one line";
    EXPECT_EQ(CliText::describe(std::runtime_error("plain")), "plain");
    // Every case of the library has a text.
    for (const auto& e :
         {VaultError::touchID("t"), VaultError::mountPointNotEmpty({"a"}), VaultError::alreadyExists("p"),
          VaultError::configMissing("p"), VaultError::integrity("i"), VaultError::snapshotNotFound("s"),
          VaultError::weakPassword(), VaultError::badMnemonic(), VaultError::mnemonicNotForThisVault(),
          VaultError::recoveryFailed(), VaultError::touchIDCancelled(), VaultError::touchIDInvalidated(),
          VaultError::touchIDNotEnabled(), VaultError::invalidName(), VaultError::openedElsewhere(),
          VaultError::notLocked(), VaultError::changedDuringSync()}) {
        EXPECT_FALSE(CliText::builtInText(e.key()).empty()) << e.key();
        EXPECT_EQ(CliText::describe(e).rfind("err.", 0), std::string::npos) << e.key();
    }
}
