// The vault a picked path names: the cases the window and the command-line
// tool run too (tests/support/SharedRuleCases.h).
#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/vault/VaultLocator.h"

#include "../../support/SharedRuleCases.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vaultkit;
namespace fs = std::filesystem;
using sharedrules::Picked;

namespace {

TEST(VaultLocator, APickedPathOpensItsVaultOrGivesThatVaultsOwnError) {
    vaulttest::TempDir tmp("hc-locator");
    for (const auto& c : sharedrules::pickedCases(tmp.path())) {
        SCOPED_TRACE(c.what);
        switch (c.expected) {
        case Picked::opens:
            EXPECT_EQ(VaultLocator::open(c.picked)->dir(), c.vaultDir);
            break;
        case Picked::ownError:
            try {
                VaultLocator::open(c.picked);
                ADD_FAILURE() << "opened";
            } catch (const VaultError& e) {
                // the error of opening that directory itself, not "not a vault"
                EXPECT_EQ(e.kind(), VaultError::Case::configMissing);
                try {
                    Vault::open(c.vaultDir);
                } catch (const VaultError& direct) {
                    EXPECT_EQ(e, direct);
                }
            }
            break;
        case Picked::notAVault:
            EXPECT_THROW(VaultLocator::open(c.picked), VaultLocator::NotAVault);
            break;
        }
    }
}

TEST(VaultLocator, CandidatesAreThePathItsParentAndTheHiddenSiblingThatFitTheName) {
    using P = std::vector<fs::path>;
    EXPECT_EQ(VaultLocator::candidates("/h/Photos"), (P{"/h/.Photos.hushcoffer"}));
    EXPECT_EQ(VaultLocator::candidates("/h/Photos/"), (P{"/h/.Photos.hushcoffer"}));
    // Every candidate whose name passes is listed, in the order they are tried.
    EXPECT_EQ(VaultLocator::candidates("/h/.Photos.hushcoffer"),
              (P{"/h/.Photos.hushcoffer", "/h/..Photos.hushcoffer.hushcoffer"}));
    EXPECT_EQ(VaultLocator::candidates("/h/.A.hushcoffer/.B.hushcoffer"),
              (P{"/h/.A.hushcoffer/.B.hushcoffer", "/h/.A.hushcoffer", "/h/.A.hushcoffer/..B.hushcoffer.hushcoffer"}));
    EXPECT_EQ(VaultLocator::candidates("/h/.Photos.hushcoffer/vault.json"),
              (P{"/h/.Photos.hushcoffer", "/h/.Photos.hushcoffer/.vault.json.hushcoffer"}));
    EXPECT_EQ(VaultLocator::candidates("/h/x/../.P.hushcoffer/./README.txt"),
              (P{"/h/.P.hushcoffer", "/h/.P.hushcoffer/.README.txt.hushcoffer"}));
    EXPECT_EQ(VaultLocator::candidates("/"), (P{})) << "the root has no name";
}

} // namespace
