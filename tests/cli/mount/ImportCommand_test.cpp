// hushcoffer-cli import, the real program into a real vault, as a user.
#include "support/CliRunner.h"
#include "support/TestSupport.h"

#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// The hidden copies an import makes in the volume's root before naming them.
std::vector<fs::path> importTemporaries(const fs::path& volume) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(volume, ec))
        if (entry.path().filename().string().rfind(".hushcoffer-import-", 0) == 0) out.push_back(entry.path());
    return out;
}

// An import killed with its copier (the whole process group, as a closed
// terminal or a stopped session does) while a large file is being copied
// leaves no cut-off file under the file's real name, only the hidden
// temporary copy; the next import into the vault removes that leftover (the
// original is still outside) and names its own item.
TEST_F(ImportCommandTest, AKilledImportLeavesNoCutOffFileAndTheNextImportRemovesTheLeftover) {
    const fs::path large = tmp / "outside" / "large.bin";
    {
        // 192 MiB, no two blocks alike: long enough to be caught half-copied
        std::ofstream out(large, std::ios::binary);
        std::vector<char> block(1 << 20);
        for (int n = 0; n < 192; ++n) {
            for (std::size_t i = 0; i < block.size(); i += 4) {
                const auto word = static_cast<std::uint32_t>(static_cast<std::size_t>(n) * block.size() + i);
                std::memcpy(block.data() + i, &word, sizeof word);
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const auto fullSize = fs::file_size(large);
    const std::string program = cliPath();
    const std::string vaultArg = vault.string(), largeArg = large.string();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setpgid(0, 0);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::execl(program.c_str(), program.c_str(), "import", vaultArg.c_str(), largeArg.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    // Wait until the copy is under way (under whatever name), then cut it off.
    bool copying = false;
    for (int i = 0; i < 6000 && !copying; ++i) {
        auto candidates = importTemporaries(vault);
        candidates.push_back(vault / "large.bin");
        for (const auto& t : candidates) {
            std::error_code ec;
            const auto size = fs::is_regular_file(t, ec) ? fs::file_size(t, ec) : 0;
            if (!ec && size > 0 && size < fullSize) copying = true;
        }
        if (!copying) ::usleep(10000);
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(copying) << "the copy was never seen half-done";

    EXPECT_FALSE(fs::exists(vault / "large.bin")) << "a cut-off file under the real name";
    const auto left = importTemporaries(vault);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_LT(fs::file_size(left.front()), fullSize);

    vaulttest::writeFile(tmp / "outside" / "small.txt", "after the kill");
    const auto r = cli({"import", vault.string(), (tmp / "outside" / "small.txt").string()});
    EXPECT_EQ(r.status, 0) << r.stderrText;
    EXPECT_TRUE(importTemporaries(vault).empty()) << "the killed import's leftover is still there";
    EXPECT_EQ(vaulttest::readFile(vault / "small.txt"), "after the kill");
    EXPECT_FALSE(fs::exists(vault / "large.bin"));
    EXPECT_EQ(fs::file_size(large), fullSize) << "the original stays";
}

} // namespace
