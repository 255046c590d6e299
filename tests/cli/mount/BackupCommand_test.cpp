// hushcoffer-cli backup: the real program on a real vault, as a user. Each
// snapshot restores as a vault that opens with that moment's password and
// with the recovery phrase, and holds that moment's files.
#include "support/CliRunner.h"
#include "support/TestSupport.h"

#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kPassword = "plain old password";

class BackupCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
        fs::create_directory(tmp / "home");
        fs::create_directory(tmp / "restored");
        vault = tmp / "home" / "Box";
        const auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "Box"}, kPassword + "\n");
        ASSERT_EQ(r.status, 0) << r.stderrText;
        phrase = r.stdoutText().substr(0, r.stdoutText().find('\n'));
    }
    void TearDown() override {
        for (const auto& v : {vault, tmp / "restored/Old", tmp / "restored/New"})
            cli({"lock", "--force", v.string()});
        ::unsetenv("HC_SUPPORT_DIR");
    }
    vaultkit::ExecResult cli(const std::vector<std::string>& args, std::optional<std::string> input = {}) {
        std::optional<vaultkit::Bytes> in;
        if (input) in = vaultkit::Bytes(input->begin(), input->end());
        return vaultkit::Exec::runSync(clitest::cliPath(), args, in, 300);
    }

    vaulttest::TempDir tmp{"hc-cli-backup"};
    fs::path vault;
    std::string phrase;
};

TEST_F(BackupCommandTest, PushChangePushThenEachSnapshotRestoresAndOpens) {
    const std::string store = (tmp / "store").string();
    vaulttest::writeFile(vault / "a.txt", "first");
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    auto r = cli({"backup", "push", vault.string(), store});
    ASSERT_EQ(r.status, 0) << r.stderrText;
    const std::string first = r.stdoutText().substr(0, r.stdoutText().find('\n'));

    ASSERT_EQ(cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n").status, 0);
    vaulttest::writeFile(vault / "a.txt", "second");
    vaulttest::writeFile(vault / "b.txt", "new");
    // An unlocked vault can be pushed too: only its encrypted files are read.
    r = cli({"backup", "push", "--json", vault.string(), store});
    ASSERT_EQ(r.status, 0) << r.stderrText;
    const json pushed = json::parse(r.stdoutText());
    const std::string second = pushed["snapshot"];
    EXPECT_GT(pushed["bandsSent"].get<int>(), 0);
    EXPECT_LT(pushed["filesRead"].get<int>(), pushed["files"].get<int>()) << "unchanged files are not read";
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);

    r = cli({"backup", "list", "--json", store});
    ASSERT_EQ(r.status, 0) << r.stderrText;
    const json list = json::parse(r.stdoutText());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["id"], first);
    EXPECT_EQ(list[1]["id"], second);
    EXPECT_EQ(list[0]["vaultName"], "Box");

    // The first moment, with the password.
    r = cli({"backup", "restore", store, first, (tmp / "restored").string(), "Old"});
    ASSERT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(r.stdoutText(), (tmp / "restored/.Old.hushcoffer").string() + "\n");
    r = cli({"unlock", "--password-stdin", (tmp / "restored/Old").string()}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(vaulttest::readFile(tmp / "restored/Old/a.txt"), "first");
    EXPECT_FALSE(fs::exists(tmp / "restored/Old/b.txt"));

    // The second moment, with the recovery phrase.
    r = cli({"backup", "restore", "--json", store, second, (tmp / "restored").string(), "New"});
    ASSERT_EQ(r.status, 0) << r.stderrText;
    r = cli({"recover", "--password-stdin", (tmp / "restored/New").string()},
            phrase + "\nanother good password\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(vaulttest::readFile(tmp / "restored/New/a.txt"), "second");
    EXPECT_EQ(vaulttest::readFile(tmp / "restored/New/b.txt"), "new");

    // Not over an existing vault.
    r = cli({"backup", "restore", store, first, (tmp / "restored").string(), "New"});
    EXPECT_EQ(r.status, 1);

    // Check, damage, prune.
    EXPECT_EQ(cli({"backup", "check", "--read-data", store}).status, 0);
    fs::path band;
    for (const auto& e : fs::recursive_directory_iterator(tmp / "store/bands"))
        if (e.is_regular_file()) band = e.path();
    ASSERT_FALSE(band.empty());
    fs::remove(band);
    r = cli({"backup", "check", "--json", store});
    EXPECT_EQ(r.status, 5) << r.stderrText;
    const json report = json::parse(r.stdoutText());
    EXPECT_FALSE(report["ok"].get<bool>());
    EXPECT_EQ(report["missingBands"].size(), 1u);
    EXPECT_FALSE(report["damage"].empty());

    r = cli({"backup", "prune", "--json", store, "--keep-last", "1"});
    ASSERT_EQ(r.status, 0) << r.stderrText;
    const json pruned = json::parse(r.stdoutText());
    EXPECT_EQ(pruned["removed"], json::array({first}));
    EXPECT_EQ(pruned["kept"], json::array({second}));
}

TEST_F(BackupCommandTest, UsageErrorsAndMissingSnapshots) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string text; // part of standard error
    };
    const std::string store = (tmp / "store").string();
    ASSERT_EQ(cli({"backup", "push", vault.string(), store}).status, 0);
    const std::vector<Case> cases = {
        {{"backup"}, 2, "needs a subcommand"},
        {{"backup", "copy", store}, 2, "unknown backup subcommand"},
        {{"backup", "list"}, 2, "needs 1 argument"},
        {{"backup", "prune", store}, 2, "at least one --keep"},
        {{"backup", "prune", store, "--keep-last", "0"}, 2, "whole number"},
        {{"backup", "list", "--read-data", store}, 2, "option of backup check"},
        {{"backup", "list", "--frobnicate", "x", store}, 2, "unknown option"},
        {{"backup", "restore", store, "2020-01-01T000000.000Z-00000000", (tmp / "restored").string(), "X"},
         1,
         "This backup snapshot does not exist."},
        {{"backup", "list", (tmp / "home").string()}, 1, "not a Hushcoffer backup store"},
    };
    for (const auto& c : cases) {
        const auto r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.stderrText;
        EXPECT_NE(r.stderrText.find(c.text), std::string::npos) << r.stderrText;
    }
    const auto help = cli({"backup", "push", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.stdoutText().find("rclone:REMOTE:PATH"), std::string::npos);
    EXPECT_NE(cli({"--help"}).stdoutText().find("backup push|list"), std::string::npos);
}

} // namespace
