// The rules hushcoffer-cli takes from the vault library, shown the way the
// tool shows them: the same cases as the library's and the window's tests
// (tests/support/SharedRuleCases.h). In process, no volume is mounted.
#include "cli/CliApp.h"
#include "cli/CliText.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"

#include "../support/SharedRuleCases.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace cli;
namespace fs = std::filesystem;
using sharedrules::Picked;

namespace {

struct CliRun {
    int status;
    std::string out, err;
};

class CliAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "hc-cliapp-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        ::setenv("HC_SUPPORT_DIR", (root / "support").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("HC_SUPPORT_DIR");
        vaultkit::Vault::setBackupDirectory(std::nullopt);
        vaultkit::Vault::setPreferencesDirectory(std::nullopt);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    CliRun run(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int status = CliApp(out, err).run(args);
        return {status, out.str(), err.str()};
    }
    fs::path root;
};

TEST_F(CliAppTest, AVaultArgumentNamesTheVaultTheLibraryFindsOrShowsItsError) {
    for (const auto& c : sharedrules::pickedCases(root / "vaults")) {
        SCOPED_TRACE(c.what);
        const CliRun r = run({"status", c.picked.string()});
        const std::string prefix = "hushcoffer-cli: " + c.picked.string() + ": ";
        switch (c.expected) {
        case Picked::opens:
            EXPECT_EQ(r.status, CliApp::exitOK) << r.err;
            EXPECT_EQ(r.out, "Docs\tlocked\t" + (c.vaultDir.parent_path() / "Docs").string() + "\n");
            break;
        case Picked::ownError:
            EXPECT_EQ(r.status, CliApp::exitFailure);
            try {
                vaultkit::Vault::open(c.vaultDir);
                ADD_FAILURE() << "the vault directory opens";
            } catch (const std::exception& e) {
                EXPECT_EQ(r.err, prefix + CliText::describe(e) + "\n");
            }
            break;
        case Picked::notAVault:
            EXPECT_EQ(r.status, CliApp::exitFailure);
            EXPECT_EQ(r.err, prefix + CliText::errorText("err.notAVault", {}) + "\n");
            break;
        }
    }
}

TEST_F(CliAppTest, AnImportHoldingTheVaultIsRefusedBeforeAnythingIsCopied) {
    const fs::path vaults = root / "vaults";
    sharedrules::makeVault(vaults, "V");
    for (const auto& c : sharedrules::selectionCases(vaults)) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"import", (vaults / "V").string()};
        for (const auto& s : c.sources)
            args.push_back(s.string());
        const CliRun r = run(args);
        EXPECT_EQ(r.status, CliApp::exitFailure) << "refused, or the vault is locked";
        const std::string refusal = "hushcoffer-cli: " + CliText::errorText("err.importContainsVault",
                                                                             {c.refused.value_or("")}) + "\n";
        if (c.refused) {
            EXPECT_EQ(r.err, refusal);
        } else {
            // past the selection: the importer finds the vault locked
            EXPECT_EQ(r.err, "hushcoffer-cli: " + CliText::describe(vaultkit::VaultError::io("vault is locked")) +
                                 "\n");
        }
    }
}

TEST_F(CliAppTest, TheSupportFolderIsTheLibrarys) {
    for (const auto& c : sharedrules::supportCases()) {
        SCOPED_TRACE(c.what);
        const sharedrules::SupportEnvironment environment(c);
        EXPECT_EQ(CliApp::supportDirectory(), c.expected);
    }
}

} // namespace
