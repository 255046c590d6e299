// hushcoffer-cli check-data on a real vault: whole, damaged, refused.
#include "support/TestSupport.h"

#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;

namespace {

const std::string kPassword = "plain old password";

std::string cliProgram() {
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "hushcoffer-cli";
    if (!ec && fs::exists(beside)) return beside.string();
    return HC_CLI_BUILD_PATH;
}

struct Run {
    int status;
    std::string out;
    std::string err;
};

Run cli(const std::vector<std::string>& args, const std::string& input = {}) {
    const auto r =
        vaultkit::Exec::runSync(cliProgram(), args, vaultkit::Bytes(input.begin(), input.end()), 300);
    return {r.status, r.stdoutText(), r.stderrText};
}

TEST(CliCheckData, WholeDamagedLockedFirstAndWrongPassword) {
    vaulttest::TempDir tmp{"hc-cli-check"};
    ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
    fs::create_directory(tmp / "home");
    const fs::path vault = tmp / "home/Box";
    auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "Box"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    fs::create_directory(vault / "letters");
    vaulttest::writeFile(vault / "letters/long.txt", std::string(30000, 'x'));
    vaulttest::writeFile(vault / "short.txt", "short");

    // An unlocked vault is not checked.
    r = cli({"check-data", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("lock"), std::string::npos) << r.err;
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);

    r = cli({"check-data", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("No damage found"), std::string::npos) << r.out;

    r = cli({"check-data", "--password-stdin", vault.string()}, "not the password\n");
    EXPECT_EQ(r.status, 1);

    // Cut the largest encrypted file short: the one of letters/long.txt.
    fs::path largest;
    std::uintmax_t size = 0;
    for (const auto& e : fs::recursive_directory_iterator(tmp / "home/.Box.hushcoffer/data.gocryptfs"))
        if (e.is_regular_file() && e.file_size() > size) {
            size = e.file_size();
            largest = e.path();
        }
    fs::resize_file(largest, 5000);
    r = cli({"check-data", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "letters/long.txt\n");
    EXPECT_NE(r.err.find("backup"), std::string::npos) << r.err;
    ::unsetenv("HC_SUPPORT_DIR");
}

// What sync clients leave in the encrypted folder is named as what it is,
// and is no damage: the check passes.
TEST(CliCheckData, ConflictCopiesAndSyncTemporariesAreNamedButNoDamage) {
    vaulttest::TempDir tmp{"hc-cli-check-sync"};
    ::setenv("HC_SUPPORT_DIR", (tmp / "support").c_str(), 1);
    fs::create_directory(tmp / "home");
    const fs::path vault = tmp / "home/Box";
    const fs::path image = tmp / "home/.Box.hushcoffer/data.gocryptfs";
    auto r = cli({"create", "--password-stdin", (tmp / "home").string(), "Box"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    fs::create_directory(vault / "docs");
    vaulttest::writeFile(vault / "docs/plan.txt", "mine");
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    fs::path docs, plan;
    for (const auto& e : fs::directory_iterator(image))
        if (e.is_directory()) docs = e.path();
    for (const auto& e : fs::directory_iterator(docs))
        if (e.path().filename() != "gocryptfs.diriv") plan = e.path();
    const std::string name = plan.filename();
    fs::copy_file(plan, docs / (name + ".sync-conflict-20261210-101010-ABCDEFG"));
    fs::copy_file(plan, docs / (".syncthing." + name + ".tmp"));

    r = cli({"check-data", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("No damage found"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("conflict copy: docs/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("sync temporary file: docs/.syncthing."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("backup"), std::string::npos) << r.err;

    // Real damage beside them: exit 5, and only the damage on standard output.
    fs::resize_file(plan, 20);
    r = cli({"check-data", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out, "docs/plan.txt\n");
    ::unsetenv("HC_SUPPORT_DIR");
}

} // namespace
