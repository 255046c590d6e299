#include "cli/CliApp.h"
#include "cli/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace cli;
using Args = std::vector<std::string>;
using Values = std::map<std::string, std::string>;

TEST(CliCredentialCommands, OptionsWithAValue) {
    const struct {
        Args argv;
        Args args;
        Values values;
    } cases[] = {
        {{"autolock", "/v"}, {"/v"}, {}},
        {{"autolock", "/v", "--sleep", "off", "--idle", "5"}, {"/v"}, {{"sleep", "off"}, {"idle", "5"}}},
        {{"autolock", "--screen=on", "/v"}, {"/v"}, {{"screen", "on"}}},
        {{"--idle", "0", "autolock", "/v"}, {"/v"}, {{"idle", "0"}}},
        // The value is taken as it is, even when it looks like an option.
        {{"autolock", "/v", "--idle", "-3"}, {"/v"}, {{"idle", "-3"}}},
    };
    for (const auto& c : cases) {
        auto line = CommandLine::parse(c.argv);
        EXPECT_EQ(line.command, "autolock");
        EXPECT_EQ(line.args, c.args);
        EXPECT_EQ(line.values, c.values);
    }
    EXPECT_TRUE(CommandLine::parse({"passwd", "--password-stdin", "/v"}).passwordStdin);
    EXPECT_TRUE(CommandLine::parse({"recover", "/v", "--password-stdin"}).passwordStdin);
    EXPECT_TRUE(CommandLine::parse({"new-phrase", "--password-stdin", "/v"}).passwordStdin);
    for (const Args& bad :
         {Args{"autolock", "/v", "--sleep"}, Args{"autolock", "/v", "--idle=1", "--idle", "2"},
          Args{"unlock", "--idle", "5", "/v"}, Args{"autolock", "--password-stdin", "/v"},
          Args{"passwd", "--force", "/v"}, Args{"autolock", "/v", "--sleepy", "on"}})
        EXPECT_THROW(CommandLine::parse(bad), CommandLine::UsageError) << ::testing::PrintToString(bad);
}

// Bad values are usage errors, reported before the vault is looked for.
TEST(CliCredentialCommands, AutolockValuesAreCheckedFirst) {
    for (const Args& args :
         {Args{"autolock", "/nowhere", "--sleep", "yes"}, Args{"autolock", "/nowhere", "--screen", "ON"},
          Args{"autolock", "/nowhere", "--idle", "-1"}, Args{"autolock", "/nowhere", "--idle", "1.5"},
          Args{"autolock", "/nowhere", "--idle", ""},
          Args{"autolock", "/nowhere", "--idle", "99999999999999999999"},
          Args{"autolock", "/nowhere", "--idle", "525601"}, Args{"passwd"}, Args{"recover", "a", "b"},
          Args{"new-phrase"}}) {
        std::ostringstream out, err;
        EXPECT_EQ(CliApp(out, err).run(args), CliApp::exitUsage)
            << ::testing::PrintToString(args) << err.str();
        EXPECT_NE(err.str().find("usage: hushcoffer-cli " + args[0]), std::string::npos) << err.str();
    }
}
