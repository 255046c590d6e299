// hushcoffer-cli import, the real program into a real vault, as a user.
#include "support/CliRunner.h"
#include "support/TestSupport.h"

#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using vaultkit::Exec::runSync;

namespace {

using clitest::cliPath;

const std::string kPassword = "plain old password";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

class ImportCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
        fs::create_directory(tmp / "home");
        fs::create_directory(tmp / "outside");
        vault = tmp / "home" / "Box";
        const auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "Box"}, kPassword + "\n");
        ASSERT_EQ(r.status, 0) << r.stderrText;
    }
    void TearDown() override {
        cli({"lock", "--force", vault.string()});
        ::unsetenv("HC_SUPPORT_DIR");
    }
    vaultkit::ExecResult cli(const std::vector<std::string>& args, std::optional<std::string> input = {}) {
        std::optional<vaultkit::Bytes> in;
        if (input) in = vaultkit::Bytes(input->begin(), input->end());
        return runSync(cliPath(), args, in, 300);
    }

    vaulttest::TempDir tmp{"hc-cli-import"};
    fs::path vault;
};

TEST_F(ImportCommandTest, OneLinePerItemAndExitStatusOneWhenAnyFailed) {
    vaulttest::writeFile(tmp / "outside" / "a.txt", "hello");
    fs::create_directories(tmp / "outside" / "folder" / "sub");
    vaulttest::writeFile(tmp / "outside" / "folder" / "sub" / "b", "0123456789");

    auto r = cli({"import", vault.string(), (tmp / "outside" / "a.txt").string(),
                  (tmp / "outside" / "folder").string()});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_EQ(lines(r.stdoutText()),
              (std::vector<std::string>{"ok\t" + (tmp / "outside" / "a.txt").string() + "\t" +
                                            (vault / "a.txt").string() + "\t1 entries, 5 bytes",
                                        "ok\t" + (tmp / "outside" / "folder").string() + "\t" +
                                            (vault / "folder").string() + "\t3 entries, 10 bytes"}));
    EXPECT_EQ(vaulttest::readFile(vault / "folder" / "sub" / "b"), "0123456789");

    // again: a second copy next to the first, and a missing source fails
    r = cli({"import", vault.string(), (tmp / "outside" / "a.txt").string(),
             (tmp / "outside" / "nope").string()});
    EXPECT_EQ(r.status, 1);
    const auto out = lines(r.stdoutText());
    ASSERT_EQ(out.size(), 2u) << r.stdoutText();
    EXPECT_EQ(
        out[0].rfind("ok\t" + (tmp / "outside" / "a.txt").string() + "\t" + (vault / "a 2.txt").string(), 0),
        0u);
    EXPECT_EQ(out[1].rfind("failed\t" + (tmp / "outside" / "nope").string() + "\t", 0), 0u);
    EXPECT_NE(out[1].find("\tcp: "), std::string::npos);
}

TEST_F(ImportCommandTest, LockedVaultAndUsageErrors) {
    vaulttest::writeFile(tmp / "outside" / "a.txt", "hello");
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    auto r = cli({"import", vault.string(), (tmp / "outside" / "a.txt").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.stdoutText().empty());
    EXPECT_FALSE(r.stderrText.empty());
    EXPECT_FALSE(fs::exists(vault / "a.txt"));

    r = cli({"import", vault.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.stderrText.find("import VAULT PATH..."), std::string::npos);
}

// The vault's own folder, its hidden directory, or a folder holding them: refused
// before anything is copied, with the application's text, even beside a good item.
TEST_F(ImportCommandTest, ASelectionHoldingTheVaultIsRefusedBeforeCopying) {
    vaulttest::writeFile(tmp / "outside" / "a.txt", "hello");
    for (const fs::path& holder : {vault, tmp / "home" / ".Box.hushcoffer", tmp / "home", vault / "."}) {
        SCOPED_TRACE(holder.string());
        auto r = cli({"import", vault.string(), (tmp / "outside" / "a.txt").string(), holder.string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.stdoutText().empty()) << r.stdoutText();
        EXPECT_NE(r.stderrText.find("contains this vault and cannot be imported into it"), std::string::npos)
            << r.stderrText;
        EXPECT_FALSE(fs::exists(vault / "a.txt")) << "nothing copied";
    }
}

} // namespace
