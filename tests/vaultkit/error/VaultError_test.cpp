#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

using vaultkit::VaultError;

TEST(VaultError, EqualityComparesCaseAndPayload) {
    EXPECT_EQ(VaultError::hdiutil("attach", "x"), VaultError::hdiutil("attach", "x"));
    EXPECT_NE(VaultError::hdiutil("attach", "x"), VaultError::hdiutil("detach", "x"));
    EXPECT_NE(VaultError::busy({}), VaultError::busy({"bash"}));
    EXPECT_NE(VaultError::io("a"), VaultError::integrity("a"));
    EXPECT_EQ(VaultError::wrongPassword(), VaultError::wrongPassword());
}

TEST(VaultError, KeysAndArguments) {
    struct Row {
        VaultError error;
        std::string key;
        std::vector<std::string> args;
    };
    const std::vector<Row> rows = {
        {VaultError::touchID("no sensor"), "err.touchid", {"no sensor"}},
        {VaultError::busy({}), "err.busy", {"?"}},
        {VaultError::busy({"bash", "vim"}), "err.busy", {"bash, vim"}},
        {VaultError::mountPointNotEmpty({"a", "b", "c", "d", "e", "f"}), "err.notEmpty", {"a, b, c, d, e"}},
        {VaultError::alreadyExists("/p/x"), "err.exists", {"/p/x"}},
        {VaultError::configMissing("/p/.x.hushcoffer/vault.json"), "err.configMissing",
         {"/p/.x.hushcoffer/vault.json"}},
        {VaultError::hdiutil("attach", "boom"), "err.system", {"attach", "boom"}},
        {VaultError::io("marker mismatch"), "err.system", {"io", "marker mismatch"}},
        {VaultError::integrity("band 3"), "err.integrity", {"band 3"}},
        {VaultError::snapshotNotFound("s1"), "err.noSnapshot", {}},
        {VaultError::wrongPassword(), "err.wrongPassword", {}},
        {VaultError::weakPassword(), "err.weakPassword", {}},
        {VaultError::badMnemonic(), "err.badMnemonic", {}},
        {VaultError::mnemonicNotForThisVault(), "err.mnemonicOther", {}},
        {VaultError::recoveryFailed(), "err.recoveryFailed", {}},
        {VaultError::touchIDCancelled(), "err.touchidCancelled", {}},
        {VaultError::touchIDInvalidated(), "err.touchidInvalid", {}},
        {VaultError::touchIDNotEnabled(), "err.touchidOff", {}},
        {VaultError::invalidName(), "err.invalidName", {}},
        {VaultError::openedElsewhere(), "err.elsewhere", {}},
        {VaultError::notLocked(), "err.notLocked", {}},
        {VaultError::changedDuringSync(), "err.syncChanged", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.error.caseName()));
        EXPECT_EQ(r.error.key(), r.key);
        EXPECT_EQ(r.error.args(), r.args);
    }
}

TEST(VaultError, IsCatchableAsStdException) {
    try {
        throw VaultError::busy({"bash"});
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "busy: bash");
    }
}
