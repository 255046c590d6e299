// Biometric unlock of real gocryptfs vaults with the Linux provider: the key in
// a software TPM started by the test, the prompt a mocked polkit authority on
// a private bus. Run as an ordinary user.
#include "support/PolkitAuthorityMock.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"

#include "vaultkit/ConfigStore.h"
#include "vaultkit/LinuxTouchIDProvider.h"
#include "vaultkit/Mnemonic.h"
#include "vaultkit/Sealing.h"
#include "vaultkit/TouchIDKey.h"
#include "vaultkit/Vault.h"
#include "vaultkit/VaultError.h"
#include "support/ExpectVaultError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace vaultkit;
using vaulttest::PolkitAuthorityMock;
using vaulttest::SoftwareTpm;
namespace fs = std::filesystem;

namespace {

using vaulttest::expectVaultError;

const std::string kPassword = "correct horse battery";
const std::string kNewPassword = "staple on the battery";

class TpmBiometricUnlockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoftwareTpm::installed())
            GTEST_SKIP() << "swtpm is not installed (scripts/install-deps installs it)";
        tpm = std::make_unique<SoftwareTpm>();
        polkit =
            std::make_unique<PolkitAuthorityMock>(std::vector<std::string>{LinuxTouchIDProvider::actionId});
        provider = providerFor(*tpm);
        TouchIDKey::setProvider(provider);
        driver = vaulttest::fastGocryptfs();
        parent = tmp / "home";
        fs::create_directory(parent);
        Vault::setBackupDirectory(tmp / "support" / "backups");
    }
    void TearDown() override {
        TouchIDKey::setProvider(nullptr);
        Vault::setBackupDirectory(std::nullopt);
    }

    std::shared_ptr<LinuxTouchIDProvider> providerFor(const SoftwareTpm& t) const {
        LinuxTouchIDProvider::Options o;
        o.tpmTransport = t.transport();
        o.busAddress = polkit->address();
        return std::make_shared<LinuxTouchIDProvider>(o);
    }

    // A new vault with biometric unlock on, locked.
    std::shared_ptr<Vault> makeVault() {
        auto v = Vault::create(parent, "Vault", kPassword, Mnemonic::generate(), {}, driver);
        v->enableTouchID(kPassword);
        v->lock(false);
        return v;
    }

    VaultConfig onDisk(const Vault& v) const {
        return ConfigCoding::decode(vaulttest::readFile(v.configURL()));
    }

    vaulttest::TempDir tmp{"hc-tpm-vault"};
    std::unique_ptr<SoftwareTpm> tpm;
    std::unique_ptr<PolkitAuthorityMock> polkit;
    std::shared_ptr<LinuxTouchIDProvider> provider;
    std::shared_ptr<GocryptfsDiskImage> driver;
    fs::path parent;
};

} // namespace

TEST_F(TpmBiometricUnlockTest, EnableLockUnlockAndDisable) {
    ASSERT_TRUE(TouchIDKey::isAvailable());
    auto v = makeVault();
    EXPECT_EQ(polkit->checkCount(), 0) << "making the key needs no prompt";
    const VaultConfig saved = onDisk(*v);
    ASSERT_TRUE(saved.touchID.has_value());
    EXPECT_EQ(saved.touchID->publicKey.size(), 65u);
    EXPECT_EQ(saved.touchID->blobs.size(), 1u);
    // The record holds the TPM's blobs, never the password.
    EXPECT_EQ(vaulttest::readFile(v->configURL()).find(kPassword), std::string::npos);

    v->unlockWithTouchID("Unlock Vault");
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_EQ(polkit->checkCount(), 1);
    v->unlockWithTouchID("again"); // already unlocked: no prompt
    EXPECT_EQ(polkit->checkCount(), 1);
    v->confirm(kPassword);
    v->lock(false);

    // A vault opened afresh (the application restarted) unlocks the same way.
    auto reopened = Vault::open(v->dir(), driver);
    reopened->unlockWithTouchID("Unlock Vault");
    EXPECT_TRUE(reopened->isUnlocked());
    reopened->lock(false);

    reopened->disableTouchID();
    EXPECT_EQ(vaulttest::readFile(reopened->configURL()).find("touchID"), std::string::npos);
    const int checks = polkit->checkCount();
    expectVaultError([&] { reopened->unlockWithTouchID("unlock"); }, VaultError::touchIDNotEnabled());
    EXPECT_EQ(polkit->checkCount(), checks);
    EXPECT_FALSE(reopened->isUnlocked());
}

TEST_F(TpmBiometricUnlockTest, PromptsThatDoNotPassLeaveTheVaultLocked) {
    auto v = makeVault();
    struct Case {
        const char* answer;
        VaultError expected;
    };
    const std::vector<Case> cases{
        {"dismiss", VaultError::touchIDCancelled()},
        {"refuse", VaultError::touchID("the system did not confirm that it is you")},
        {"noagent", VaultError::touchID("no authentication agent is running to confirm that it is you")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        polkit->scriptAnswers({c.answer});
        expectVaultError([&] { v->unlockWithTouchID("unlock"); }, c.expected);
        EXPECT_FALSE(v->isUnlocked());
    }
    EXPECT_EQ(polkit->checkCount(), static_cast<int>(cases.size()));
    // The next prompt passes.
    v->unlockWithTouchID("unlock");
    EXPECT_TRUE(v->isUnlocked());
}

TEST_F(TpmBiometricUnlockTest, OnePromptForTwoSealedCopies) {
    auto v = makeVault();
    // As during a password change: a copy of another password first, the
    // image's password second.
    VaultConfig config = v->config();
    P256PublicKey key;
    std::copy(config.touchID->publicKey.begin(), config.touchID->publicKey.end(), key.x963.begin());
    config.touchID->blobs = {Sealing::seal("not the password any more", key), config.touchID->blobs.front()};
    ConfigStore::save(config, v->configURL(), Vault::backupURL(v->dir()));
    auto reopened = Vault::open(v->dir(), driver);

    reopened->unlockWithTouchID("unlock");
    EXPECT_TRUE(reopened->isUnlocked());
    EXPECT_EQ(polkit->checkCount(), 1);
}

TEST_F(TpmBiometricUnlockTest, HandleOfAnotherTpmIsInvalidated) {
    auto v = makeVault();
    // Another computer, or this one after its TPM was cleared.
    SoftwareTpm other;
    TouchIDKey::setProvider(providerFor(other));
    expectVaultError([&] { v->unlockWithTouchID("unlock"); }, VaultError::touchIDInvalidated());
    EXPECT_EQ(polkit->checkCount(), 1) << "the handle is refused after the prompt has passed";
    EXPECT_FALSE(v->isUnlocked());

    // Enabling again makes a key of the TPM now in use.
    v->enableTouchID(kPassword);
    v->unlockWithTouchID("unlock");
    EXPECT_TRUE(v->isUnlocked());
}

TEST_F(TpmBiometricUnlockTest, PasswordChangeUpdatesTheBiometricCopy) {
    auto v = makeVault();
    const VaultConfig before = onDisk(*v);
    v->changePassword(kPassword, kNewPassword);
    const VaultConfig after = onDisk(*v);
    ASSERT_TRUE(after.touchID.has_value());
    EXPECT_EQ(after.touchID->handle, before.touchID->handle) << "the key stays";
    ASSERT_EQ(after.touchID->blobs.size(), 1u);
    EXPECT_NE(after.touchID->blobs.front().box, before.touchID->blobs.front().box);
    EXPECT_EQ(polkit->checkCount(), 0);

    v->unlockWithTouchID("unlock");
    EXPECT_TRUE(v->isUnlocked());
    v->confirm(kNewPassword);
    EXPECT_EQ(polkit->checkCount(), 1);
}
