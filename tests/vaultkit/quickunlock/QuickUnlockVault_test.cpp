// Quick unlock of real gocryptfs vaults through the key service: the service
// as root on a private system bus with a software TPM and a mocked polkit
// authority; every vault operation runs as the ordinary user hctest (a child
// process), so the mounts are an ordinary user's.
#include "support/KeyServiceBus.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/quickunlock/TpmPolkitQuickUnlock.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace vaultkit;
using vaulttest::KeyServiceBus;
using vaulttest::outcomeOf;
using vaulttest::SoftwareTpm;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "correct horse battery";
const std::string kNewPassword = "staple on the battery";

std::string outcome(const VaultError& e) {
    return outcomeOf([&] { throw e; });
}

class QuickUnlockVaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!KeyServiceBus::usable(&why)) GTEST_SKIP() << why;
        tpm = std::make_unique<SoftwareTpm>();
        bus = std::make_unique<KeyServiceBus>(tpm->transport(), state / "keyd");
        // The user's own folders.
        fs::permissions(tmp.path(), fs::perms(0755));
        const passwd* pw = ::getpwnam("hctest");
        for (const char* sub : {"home", "support"}) {
            fs::create_directory(tmp / sub);
            if (::chown((tmp / sub).c_str(), pw->pw_uid, pw->pw_gid) != 0) FAIL() << "chown failed";
        }
    }

    // Runs `fn` as hctest with the provider on the private bus and the test
    // backup folder; `fn` gets the vault's folder (made by makeVault).
    std::string asUser(const std::function<std::string(const fs::path&)>& fn) { return asUserOn(*bus, fn); }
    std::string asUserOn(KeyServiceBus& on, const std::function<std::string(const fs::path&)>& fn) {
        const std::string address = on.address();
        const fs::path backups = tmp / "support" / "backups";
        return KeyServiceBus::runAs([&] {
            TpmPolkitQuickUnlock::Options o;
            o.busAddress = address;
            o.promptTimeout = std::chrono::milliseconds(1500);
            QuickUnlockKey::setProvider(std::make_shared<TpmPolkitQuickUnlock>(o));
            Vault::setBackupDirectory(backups);
            return fn(vaultDir);
        });
    }

    // A new vault with quick unlock on, locked.
    void makeVault() {
        const std::string made = asUser([&](const fs::path&) {
            auto v = Vault::create(tmp / "home", "Vault", kPassword, Mnemonic::generate(), {},
                                   vaulttest::fastGocryptfs());
            v->enableTouchID(kPassword);
            v->lock(false);
            return "made " + v->dir().string() + "\n" + v->configURL().string();
        });
        ASSERT_EQ(made.rfind("made ", 0), 0u) << made;
        const auto newline = made.find('\n');
        vaultDir = made.substr(5, newline - 5);
        configFile = made.substr(newline + 1);
    }

    // Unlocks with quick unlock; "unlocked" and locks again, or the outcome.
    static std::string unlock(const fs::path& dir, const std::string& confirm = kPassword) {
        auto v = Vault::open(dir, vaulttest::fastGocryptfs());
        const std::string how = outcomeOf([&] { v->unlockWithTouchID("Unlock Vault"); });
        if (how != "ok") return how + (v->isUnlocked() ? " but unlocked" : "");
        if (!v->isUnlocked()) return "not unlocked";
        v->confirm(confirm);
        v->lock(false);
        return "unlocked";
    }

    VaultConfig onDisk() const { return ConfigCoding::decode(vaulttest::readFile(configFile)); }

    fs::path vaultDir;
    fs::path configFile;
    vaulttest::TempDir tmp{"hc-quick-vault"};
    vaulttest::TempDir state{"hc-keyd-state"};
    std::unique_ptr<SoftwareTpm> tpm;
    std::unique_ptr<KeyServiceBus> bus;
};

} // namespace

TEST_F(QuickUnlockVaultTest, EnableLockUnlockAndDisable) {
    makeVault();
    EXPECT_EQ(bus->polkit().checkCount(), 0) << "making the key needs no prompt";
    const VaultConfig saved = onDisk();
    ASSERT_TRUE(saved.touchID.has_value());
    EXPECT_EQ(saved.touchID->publicKey.size(), 65u);
    EXPECT_EQ(saved.touchID->blobs.size(), 1u);
    EXPECT_EQ(vaulttest::readFile(configFile).find(kPassword), std::string::npos);

    EXPECT_EQ(asUser([](const fs::path& dir) {
                  auto v = Vault::open(dir, vaulttest::fastGocryptfs());
                  v->unlockWithTouchID("Unlock Vault");
                  v->unlockWithTouchID("again"); // already unlocked: no prompt
                  const bool unlocked = v->isUnlocked();
                  v->confirm(kPassword);
                  v->lock(false);
                  return unlocked ? std::string("unlocked") : "locked";
              }),
              "unlocked");
    EXPECT_EQ(bus->polkit().checkCount(), 1);
    // The application started afresh unlocks the same way.
    EXPECT_EQ(asUser([](const fs::path& dir) { return unlock(dir); }), "unlocked");

    EXPECT_EQ(asUser([](const fs::path& dir) {
                  auto v = Vault::open(dir, vaulttest::fastGocryptfs());
                  v->disableTouchID();
                  return outcomeOf([&] { v->unlockWithTouchID("unlock"); });
              }),
              outcome(VaultError::touchIDNotEnabled()));
    EXPECT_EQ(vaulttest::readFile(configFile).find("touchID"), std::string::npos);
    EXPECT_EQ(bus->polkit().checkCount(), 2);
}

TEST_F(QuickUnlockVaultTest, PromptsThatDoNotPassLeaveTheVaultLocked) {
    makeVault();
    struct Case {
        const char* answer;
        VaultError expected;
    };
    const std::vector<Case> cases{
        {"dismiss", VaultError::touchIDCancelled()},
        {"refuse", VaultError::touchID("the system did not confirm that it is you")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        bus->polkit().scriptAnswers({c.answer});
        EXPECT_EQ(asUser([](const fs::path& dir) { return unlock(dir); }), outcome(c.expected));
    }
    EXPECT_EQ(asUser([](const fs::path& dir) { return unlock(dir); }), "unlocked")
        << "the next prompt passes";
}

TEST_F(QuickUnlockVaultTest, OnePromptForTwoSealedCopies) {
    makeVault();
    // As during a password change: a copy of another password first, the
    // image's password second.
    VaultConfig config = onDisk();
    P256PublicKey key;
    std::copy(config.touchID->publicKey.begin(), config.touchID->publicKey.end(), key.x963.begin());
    config.touchID->blobs = {Sealing::seal("not the password any more", key), config.touchID->blobs.front()};
    EXPECT_EQ(asUser([&](const fs::path& dir) {
                  ConfigStore::save(config, Vault::open(dir, vaulttest::fastGocryptfs())->configURL(),
                                    Vault::backupURL(dir));
                  return unlock(dir);
              }),
              "unlocked");
    EXPECT_EQ(bus->polkit().checkCount(), 1);
}

TEST_F(QuickUnlockVaultTest, HandleOfAnotherTpmIsInvalidated) {
    makeVault();
    // Another computer, or this one after its TPM was cleared.
    SoftwareTpm other;
    KeyServiceBus elsewhere(other.transport(), state / "keyd");
    EXPECT_EQ(asUserOn(elsewhere, [](const fs::path& dir) { return unlock(dir); }),
              outcome(VaultError::touchIDInvalidated()));
    EXPECT_EQ(elsewhere.polkit().checkCount(), 1) << "the handle is refused after the prompt has passed";

    // Enabling again makes a key of the TPM now in use.
    EXPECT_EQ(asUserOn(elsewhere,
                       [](const fs::path& dir) {
                           Vault::open(dir, vaulttest::fastGocryptfs())->enableTouchID(kPassword);
                           return unlock(dir);
                       }),
              "unlocked");
}

// A password change, a new phrase and turning quick unlock off each revoke
// the key in force: an older copy of vault.json (a backup, a synced copy)
// opens nothing through the service any more, and asks for no prompt.
TEST_F(QuickUnlockVaultTest, PasswordChangeNewPhraseAndDisableRevokeTheOldKey) {
    makeVault();
    const VaultConfig before = onDisk();
    const std::string beforeFile = vaulttest::readFile(configFile);
    EXPECT_EQ(asUser([](const fs::path& dir) {
                  Vault::open(dir, vaulttest::fastGocryptfs())->changePassword(kPassword, kNewPassword);
                  return std::string("changed");
              }),
              "changed");
    const VaultConfig after = onDisk();
    ASSERT_TRUE(after.touchID.has_value());
    EXPECT_NE(after.touchID->handle, before.touchID->handle) << "a new key";
    ASSERT_EQ(after.touchID->blobs.size(), 1u);
    EXPECT_EQ(bus->polkit().checkCount(), 0);
    EXPECT_EQ(asUser([](const fs::path& dir) { return unlock(dir, kNewPassword); }), "unlocked");
    EXPECT_EQ(bus->polkit().checkCount(), 1);

    const std::string afterFile = vaulttest::readFile(configFile);
    const std::string invalidated = outcome(VaultError::touchIDInvalidated());
    const auto oldCopyOpens = [&](const std::string& copy) {
        vaulttest::writeFile(configFile, copy);
        const int checks = bus->polkit().checkCount();
        std::string got = asUser([](const fs::path& dir) { return unlock(dir, kNewPassword); });
        if (bus->polkit().checkCount() != checks) got += " (prompted)";
        return got;
    };
    EXPECT_EQ(oldCopyOpens(beforeFile), invalidated) << "the copy from before the password change";

    // A new phrase replaces the key too.
    vaulttest::writeFile(configFile, afterFile);
    EXPECT_EQ(asUser([](const fs::path& dir) {
                  Vault::open(dir, vaulttest::fastGocryptfs())->regenerateMnemonic(kNewPassword);
                  return std::string("new phrase");
              }),
              "new phrase");
    const std::string phraseFile = vaulttest::readFile(configFile);
    EXPECT_NE(onDisk().touchID->handle, after.touchID->handle);
    EXPECT_EQ(asUser([](const fs::path& dir) { return unlock(dir, kNewPassword); }), "unlocked");
    EXPECT_EQ(oldCopyOpens(afterFile), invalidated) << "the copy from before the new phrase";

    // Off: the key goes with it.
    vaulttest::writeFile(configFile, phraseFile);
    EXPECT_EQ(asUser([](const fs::path& dir) {
                  Vault::open(dir, vaulttest::fastGocryptfs())->disableTouchID();
                  return std::string("off");
              }),
              "off");
    EXPECT_FALSE(onDisk().touchID.has_value());
    EXPECT_EQ(oldCopyOpens(phraseFile), invalidated) << "the copy from before quick unlock was turned off";
}
