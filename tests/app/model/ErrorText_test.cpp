// The texts of errors: every vault error case becomes its text key with its
// arguments; other errors keep their own description.
#include "app/model/ErrorText.h"

#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

using vaultkit::VaultError;

namespace {

TEST(Describe, EveryVaultErrorCaseBecomesItsKeyWithItsArguments) {
    struct Case {
        VaultError error;
        QString expected;
    };
    const std::vector<Case> cases{
        {VaultError::touchID("no sensor"), kx("err.touchid", "no sensor")},
        {VaultError::busy({"vim", "bash"}), kx("err.busy", "vim, bash")},
        {VaultError::busy({}), kx("err.busy", "?")},
        {VaultError::mountPointNotEmpty({"a", "b", "c", "d", "e", "f"}), kx("err.notEmpty", "a, b, c, d, e")},
        {VaultError::alreadyExists("X"), kx("err.exists", "X")},
        {VaultError::configMissing("/p/vault.json"), kx("err.configMissing", "/p/vault.json")},
        {VaultError::hdiutil("attach", "boom"), kx("err.system", "attach", "boom")},
        {VaultError::io("disk full"), kx("err.system", "io", "disk full")},
        {VaultError::integrity("band 3"), kx("err.integrity", "band 3")},
        {VaultError::snapshotNotFound("s1"), kx("err.noSnapshot")},
        {VaultError::wrongPassword(), kx("err.wrongPassword")},
        {VaultError::weakPassword(), kx("err.weakPassword")},
        {VaultError::badMnemonic(), kx("err.badMnemonic")},
        {VaultError::mnemonicNotForThisVault(), kx("err.mnemonicOther")},
        {VaultError::recoveryFailed(), kx("err.recoveryFailed")},
        {VaultError::touchIDCancelled(), kx("err.touchidCancelled")},
        {VaultError::touchIDInvalidated(), kx("err.touchidInvalid")},
        {VaultError::touchIDNotEnabled(), kx("err.touchidOff")},
        {VaultError::invalidName(), kx("err.invalidName")},
        {VaultError::openedElsewhere(), kx("err.elsewhere")},
        {VaultError::notLocked(), kx("err.notLocked")},
        {VaultError::changedDuringSync(), kx("err.syncChanged")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.error.caseName()));
        EXPECT_EQ(describe(c.error), c.expected);
        EXPECT_EQ(describe(std::make_exception_ptr(c.error)), c.expected);
        // every key has an English text
        EXPECT_FALSE(c.expected.startsWith("err.")) << c.expected.toStdString();
    }
    // other errors: their own description
    EXPECT_EQ(describe(std::runtime_error("disk on fire")), "disk on fire");
    const std::system_error sys(std::make_error_code(std::errc::permission_denied), "open /x");
    EXPECT_EQ(describe(std::make_exception_ptr(sys)), QString::fromUtf8(sys.what()));
    EXPECT_EQ(describe(std::make_exception_ptr(42)), "unknown error");
}

} // namespace
