// Password change, recovery, new phrase, biometric unlock and the auto-lock
// record against real gocryptfs images, as an ordinary user.
#include "support/FaultyDiskImage.h"
#include "support/SoftwareQuickUnlock.h"
#include "support/TestSupport.h"

#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/error/VaultError.h"
#include "support/ExpectVaultError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

using namespace vaultkit;
using vaulttest::FaultyDiskImage;
using vaulttest::SoftwareQuickUnlock;
using Op = FaultyDiskImage::Op;
namespace fs = std::filesystem;

namespace {

using vaulttest::expectVaultError;

const std::string kPassword = "correct horse battery";
const std::string kNewPassword = "staple on the battery";
const std::string kEmojiPassword = "😀😁😂🤣😃😄😅😆"; // 8 characters

// The phrase as a hurried user types it: four-letter prefixes, capitals,
// commas.
std::string typedPhrase(const Mnemonic& m) {
    std::string out;
    for (const auto& word : m.words()) {
        if (!out.empty()) out += ", ";
        for (char c : word.substr(0, 4))
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

class VaultCredentialsTest : public ::testing::Test {
protected:
    void SetUp() override {
        real = vaulttest::fastGocryptfs();
        DiskImage::setPlatformDefault(real);
        driver = std::make_shared<FaultyDiskImage>(real);
        parent = tmp / "home";
        fs::create_directory(parent);
        backups = tmp / "support" / "backups";
        Vault::setBackupDirectory(backups);
        QuickUnlockKey::setProvider(touch);
    }
    void TearDown() override {
        ConfigStore::setStepHookForTesting({});
        QuickUnlockKey::setProvider(nullptr);
        Vault::setBackupDirectory(std::nullopt);
        DiskImage::setPlatformDefault(nullptr);
    }

    // A new vault, locked unless asked otherwise, with biometric unlock on
    // when asked.
    std::shared_ptr<Vault> makeVault(bool withTouchID = false, bool locked = true) {
        auto v = Vault::create(parent, "Vault", kPassword, phrase, {}, driver);
        if (withTouchID) v->enableTouchID(kPassword);
        if (locked) v->lock(false);
        driver->clearCalls();
        return v;
    }

    // Removes a locked vault, so that the next case can make one of the
    // same name.
    void removeVault(const Vault& v) {
        const auto backup = Vault::backupURL(v.dir());
        fs::remove_all(v.dir());
        fs::remove(v.mountPoint());
        fs::remove(*backup);
    }

    std::vector<fs::path> copies(const Vault& v) const {
        return {v.configURL(), ConfigStore::backupSibling(v.configURL()), *Vault::backupURL(v.dir())};
    }
    // The three copies' bytes; they must be equal after every finished save.
    std::string recordBytes(const Vault& v) const {
        const auto files = copies(v);
        const std::string first = vaulttest::readFile(files[0]);
        for (const auto& f : files)
            EXPECT_EQ(vaulttest::readFile(f), first) << f;
        return first;
    }
    VaultConfig onDisk(const fs::path& file) const { return ConfigCoding::decode(vaulttest::readFile(file)); }

    // Whether a sealed copy in the record opens the image, with the phrase
    // and, when biometric unlock is on, with the biometric key.
    ::testing::AssertionResult copiesOpenImage(const VaultConfig& config, const fs::path& image) {
        const auto key = phrase.recoveryKey();
        bool recoveryOpens = false;
        for (const auto& blob : config.recoveryBlobs) {
            try {
                if (!recoveryOpens && real->checkPassword(image, Sealing::open(blob, key)))
                    recoveryOpens = true;
            } catch (const CryptoError&) {
            }
        }
        if (!recoveryOpens) return ::testing::AssertionFailure() << "no recovery copy opens the image";
        if (config.touchID) {
            bool touchOpens = false;
            const auto context = touch->authenticate("check").context;
            for (const auto& blob : config.touchID->blobs)
                if (!touchOpens &&
                    real->checkPassword(image, QuickUnlockKey::open(blob, config.touchID->handle,
                                                                config.touchID->publicKey, context)))
                    touchOpens = true;
            if (!touchOpens) return ::testing::AssertionFailure() << "no biometric copy opens the image";
        }
        return ::testing::AssertionSuccess();
    }
    // Every copy of the record on disk (each on its own: loading may fall
    // back to any of them) lists a password the image has.
    ::testing::AssertionResult everyCopyOpensImage(const Vault& v) {
        for (const auto& file : copies(v)) {
            if (!fs::exists(file)) continue;
            auto result = copiesOpenImage(onDisk(file), v.image());
            if (!result) return result << " (" << file.filename() << ")";
        }
        return ::testing::AssertionSuccess();
    }

    vaulttest::TempDir tmp{"hc-creds"};
    std::shared_ptr<GocryptfsDiskImage> real;
    std::shared_ptr<FaultyDiskImage> driver;
    std::shared_ptr<SoftwareQuickUnlock> touch = std::make_shared<SoftwareQuickUnlock>();
    Mnemonic phrase = Mnemonic::generate();
    fs::path parent, backups;
};

} // namespace

// ---------------------------------------------------------------- change password

TEST_F(VaultCredentialsTest, ChangePasswordChecksItsInputsBeforeWritingAnything) {
    auto v = makeVault(/*withTouchID=*/true, /*locked=*/false);
    const std::string before = recordBytes(*v);

    // The rule for the new password comes first, then the lock state: an
    // unlocked vault is refused before the old password is looked at.
    expectVaultError([&] { v->changePassword(kPassword, "1234567"); }, VaultError::weakPassword());
    expectVaultError([&] { v->changePassword(kPassword, "1234\n5678"); }, VaultError::weakPassword());
    expectVaultError([&] { v->changePassword("not the password", kNewPassword); }, VaultError::notLocked());
    EXPECT_TRUE(driver->calls(Op::checkPassword).empty());
    EXPECT_TRUE(v->isUnlocked());

    v->lock(false);
    driver->clearCalls();
    expectVaultError([&] { v->changePassword("not the password", kNewPassword); },
                     VaultError::wrongPassword());
    EXPECT_EQ(driver->count(Op::changePassword), 0);
    EXPECT_EQ(recordBytes(*v), before) << "vault.json must stay byte for byte as it was";
    EXPECT_TRUE(real->checkPassword(v->image(), kPassword));
}

// At every driver call and every step of every record write during a change,
// some copy in every record file opens the image.
TEST_F(VaultCredentialsTest, ChangePasswordLeavesOneCopyEachAndTheNetHoldsThroughout) {
    auto v = makeVault(/*withTouchID=*/true);
    const auto oldTouch = v->config().touchID;

    int checks = 0;
    auto check = [&] {
        ++checks;
        EXPECT_TRUE(everyCopyOpensImage(*v)) << "at check " << checks;
    };
    for (Op op : {Op::checkPassword, Op::changePassword}) {
        driver->before(op, 0, check);
        driver->after(op, 0, check);
    }
    // A copy's content changes when its new file is renamed into place.
    ConfigStore::setStepHookForTesting([&](std::string_view step, const fs::path&) {
        if (step == "renamed") check();
    });

    v->changePassword(kPassword, kEmojiPassword);
    ConfigStore::setStepHookForTesting({});
    driver->clearActions();
    EXPECT_GT(checks, 10);

    EXPECT_FALSE(v->isUnlocked());
    EXPECT_TRUE(real->checkPassword(v->image(), kEmojiPassword));
    EXPECT_FALSE(real->checkPassword(v->image(), kPassword));
    recordBytes(*v);
    const VaultConfig saved = onDisk(v->configURL());
    EXPECT_EQ(saved, v->config());
    ASSERT_EQ(saved.recoveryBlobs.size(), 1u);
    ASSERT_TRUE(saved.touchID.has_value());
    ASSERT_EQ(saved.touchID->blobs.size(), 1u);
    // A new biometric key: the old one is revoked, so older copies of the
    // record open nothing with it.
    EXPECT_NE(saved.touchID->handle, oldTouch->handle);
    EXPECT_EQ(Sealing::open(saved.recoveryBlobs[0], phrase.recoveryKey()), kEmojiPassword);

    // The phrase did not change: it still recovers the vault.
    EXPECT_TRUE(v->checkMnemonic(phrase.phrase()));
    v->recover(typedPhrase(phrase), kNewPassword);
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_TRUE(real->checkPassword(v->image(), kNewPassword));
    v->lock(false);
    v->unlockWithTouchID("unlock");
    EXPECT_TRUE(v->isUnlocked());
}

TEST_F(VaultCredentialsTest, FailedImageChangeRestoresTheSingleEntryLists) {
    auto v = makeVault(/*withTouchID=*/true);
    const std::string before = recordBytes(*v);
    const VaultConfig beforeConfig = v->config();
    VaultConfig duringChange;
    driver->before(Op::changePassword, 1, [&] {
        duringChange = onDisk(v->configURL());
        throw VaultError::hdiutil("chpass", "injected failure");
    });

    expectVaultError([&] { v->changePassword(kPassword, kNewPassword); },
                     VaultError::hdiutil("chpass", "injected failure"));
    EXPECT_EQ(duringChange.recoveryBlobs.size(), 2u) << "both copies were listed before the image changed";
    EXPECT_EQ(duringChange.touchID->blobs.size(), 2u);
    EXPECT_EQ(recordBytes(*v), before);
    EXPECT_EQ(v->config(), beforeConfig);
    EXPECT_TRUE(real->checkPassword(v->image(), kPassword));
}

// A tool that changed the password and then reported a failure: the old
// record must not come back, or no copy would open the image.
TEST_F(VaultCredentialsTest, ToolThatFailsAfterChangingKeepsBothCopies) {
    auto v = makeVault(/*withTouchID=*/true);
    driver->after(Op::changePassword, 1, [] { throw VaultError::hdiutil("chpass", "timed out"); });

    expectVaultError([&] { v->changePassword(kPassword, kNewPassword); },
                     VaultError::hdiutil("chpass", "timed out"));
    EXPECT_TRUE(real->checkPassword(v->image(), kNewPassword));
    const VaultConfig saved = onDisk(v->configURL());
    EXPECT_EQ(saved.recoveryBlobs.size(), 2u);
    EXPECT_TRUE(everyCopyOpensImage(*v));

    driver->clearActions();
    v->recover(typedPhrase(phrase), kPassword);
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_TRUE(real->checkPassword(v->image(), kPassword));
    EXPECT_EQ(onDisk(v->configURL()).recoveryBlobs.size(), 1u);
}

// The image takes the change but then refuses the new password, or the
// check of the new password says no although the image has it. Both copies
// stay; recovery and biometric unlock find whichever password the image has.
TEST_F(VaultCredentialsTest, UnconfirmedChangeKeepsBothCopiesForRecoverAndBiometricUnlock) {
    struct Case {
        const char* name;
        bool imageKeepsOld; // else: it has the new password, the check lied
    };
    for (const Case c : {Case{"image went back to the old password", true},
                         Case{"check of the new password failed", false}}) {
        SCOPED_TRACE(c.name);
        auto v = makeVault(/*withTouchID=*/true);
        if (c.imageKeepsOld) {
            driver->after(Op::changePassword, 1,
                          [&] { real->changePassword(v->image(), kNewPassword, kPassword); });
        } else {
            // The second check of the change is the one of the new password.
            auto n = std::make_shared<int>(0);
            driver->overrideCheckPassword([n](bool answer) { return ++*n == 2 ? false : answer; });
        }
        expectVaultError([&] { v->changePassword(kPassword, kNewPassword); },
                         VaultError::io("password changed but new password does not open the image"));
        driver->clearActions();
        const std::string imagePassword = c.imageKeepsOld ? kPassword : kNewPassword;
        EXPECT_TRUE(real->checkPassword(v->image(), imagePassword));
        const VaultConfig saved = onDisk(v->configURL());
        ASSERT_EQ(saved.recoveryBlobs.size(), 2u);
        ASSERT_EQ(saved.touchID->blobs.size(), 2u);
        EXPECT_EQ(Sealing::open(saved.recoveryBlobs[0], phrase.recoveryKey()), kNewPassword);
        EXPECT_EQ(Sealing::open(saved.recoveryBlobs[1], phrase.recoveryKey()), kPassword);

        // Biometric unlock tries the copies newest first, with one prompt.
        const int prompts = touch->promptCount();
        v->unlockWithTouchID("unlock");
        EXPECT_TRUE(v->isUnlocked());
        EXPECT_EQ(touch->promptCount(), prompts + 1);
        EXPECT_EQ(driver->count(Op::attach), c.imageKeepsOld ? 2 : 1);

        // A further change from the image's password keeps the net even
        // though the list's first entry is not that password's copy.
        v->lock(false);
        const std::string third = "a third password";
        driver->clearCalls();
        driver->before(Op::changePassword, 1, [&] { EXPECT_TRUE(everyCopyOpensImage(*v)); });
        v->changePassword(imagePassword, third);
        driver->clearActions();

        v->recover(typedPhrase(phrase), "after recovery!");
        EXPECT_TRUE(v->isUnlocked());
        EXPECT_TRUE(real->checkPassword(v->image(), "after recovery!"));
        v->lock(false);
        removeVault(*v);
    }
}

// The process dies at several points of a change; a fresh start still
// recovers the vault with its phrase.
TEST_F(VaultCredentialsTest, KilledBetweenStepsStillRecoversWithThePhrase) {
    using Stop = std::function<void()>;
    struct Point {
        const char* name;
        std::function<void(FaultyDiskImage&, const Stop&)> arm;
    };
    // The n-th time vault.json has been renamed into place in the child.
    auto afterRecordRename = [](int nth) {
        return [nth](FaultyDiskImage&, const Stop& stop) {
            auto count = std::make_shared<int>(0);
            ConfigStore::setStepHookForTesting(
                [count, nth, stop](std::string_view step, const fs::path& target) {
                    if (step == "renamed" && target.filename() == "vault.json" && ++*count == nth) stop();
                });
        };
    };
    const std::vector<Point> points{
        {"vault.json lists both copies, vault.json.bak not yet", afterRecordRename(1)},
        {"record saved with both copies, image unchanged",
         [](FaultyDiskImage& d, const Stop& stop) { d.before(Op::changePassword, 1, stop); }},
        {"image changed, not yet checked",
         [](FaultyDiskImage& d, const Stop& stop) { d.after(Op::changePassword, 1, stop); }},
        {"vault.json holds the new copy only, vault.json.bak both", afterRecordRename(2)},
    };

    for (const auto& point : points) {
        SCOPED_TRACE(point.name);
        auto v = makeVault(/*withTouchID=*/true);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            const int out = fds[1];
            point.arm(*driver, [out] {
                char c = 's';
                if (::write(out, &c, 1) != 1) ::_exit(4);
                for (;;)
                    ::pause();
            });
            try {
                v->changePassword(kPassword, kNewPassword);
            } catch (...) {
            }
            ::_exit(3); // the stop point was never reached
        }
        ::close(fds[1]);
        char c = 0;
        const bool stopped = ::read(fds[0], &c, 1) == 1;
        ::close(fds[0]);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(stopped) << "the child never reached the point";
        ASSERT_TRUE(WIFSIGNALED(status));

        EXPECT_TRUE(everyCopyOpensImage(*v));
        auto fresh = Vault::open(v->dir(), driver);
        fresh->recover(typedPhrase(phrase), "recovered password");
        EXPECT_TRUE(fresh->isUnlocked());
        EXPECT_TRUE(real->checkPassword(fresh->image(), "recovered password"));
        const VaultConfig saved = onDisk(fresh->configURL());
        EXPECT_EQ(saved.recoveryBlobs.size(), 1u);
        EXPECT_EQ(saved.touchID->blobs.size(), 1u);
        fresh->lock(false);
        fresh->unlockWithTouchID("unlock");
        EXPECT_TRUE(fresh->isUnlocked());
        fresh->lock(false);
        removeVault(*v);
    }
}

// ---------------------------------------------------------------- recover

TEST_F(VaultCredentialsTest, RecoverRefusesBadPhrasesBeforeLockingOrWriting) {
    auto v = makeVault(/*withTouchID=*/false, /*locked=*/false);
    const std::string before = recordBytes(*v);
    const Mnemonic other = Mnemonic::generate();
    std::string unknownWord = phrase.phrase();
    unknownWord.replace(0, unknownWord.find(' '), "qqqq");

    expectVaultError([&] { v->recover(other.phrase(), kNewPassword); },
                     VaultError::mnemonicNotForThisVault());
    expectVaultError([&] { v->recover(unknownWord, kNewPassword); }, VaultError::badMnemonic());
    expectVaultError([&] { v->recover(phrase.phrase(), "short"); }, VaultError::weakPassword());
    EXPECT_TRUE(driver->calls().empty());
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_EQ(recordBytes(*v), before);
    EXPECT_FALSE(v->checkMnemonic(other.phrase()));
    EXPECT_FALSE(v->checkMnemonic(unknownWord));
    EXPECT_TRUE(v->checkMnemonic(typedPhrase(phrase)));
}

TEST_F(VaultCredentialsTest, RecoverWithTheCurrentPasswordSkipsTheChangeAndUnlocks) {
    for (bool startUnlocked : {false, true}) {
        SCOPED_TRACE(startUnlocked ? "unlocked" : "locked");
        auto v = makeVault(/*withTouchID=*/false, /*locked=*/!startUnlocked);
        const std::string before = recordBytes(*v);
        v->recover(typedPhrase(phrase), kPassword);
        EXPECT_TRUE(v->isUnlocked());
        EXPECT_EQ(driver->count(Op::changePassword), 0);
        EXPECT_EQ(driver->count(Op::detach), startUnlocked ? 1 : 0) << "an unlocked vault is locked first";
        EXPECT_EQ(recordBytes(*v), before);
        v->confirm(kPassword); // the attach was made here
        v->lock(false);
        removeVault(*v);
    }
}

// ---------------------------------------------------------------- new phrase

TEST_F(VaultCredentialsTest, RegenerateMnemonicReplacesThePhraseAtOnce) {
    auto v = makeVault();
    const std::string before = recordBytes(*v);
    expectVaultError([&] { v->regenerateMnemonic("not the password"); }, VaultError::wrongPassword());
    EXPECT_EQ(recordBytes(*v), before);

    const Mnemonic fresh = v->regenerateMnemonic(kPassword);
    EXPECT_NE(fresh, phrase);
    EXPECT_FALSE(v->checkMnemonic(phrase.phrase()));
    EXPECT_TRUE(v->checkMnemonic(fresh.phrase()));
    recordBytes(*v);
    auto reopened = Vault::open(v->dir(), driver);
    EXPECT_EQ(reopened->config(), v->config());
    EXPECT_EQ(reopened->config().recoveryBlobs.size(), 1u);
    expectVaultError([&] { reopened->recover(phrase.phrase(), kNewPassword); },
                     VaultError::mnemonicNotForThisVault());
    reopened->recover(typedPhrase(fresh), kNewPassword);
    EXPECT_TRUE(reopened->isUnlocked());
    // While unlocked, the password that unlocked it is the proof.
    const Mnemonic third = reopened->regenerateMnemonic(kNewPassword);
    EXPECT_TRUE(reopened->checkMnemonic(third.phrase()));
}

// A save that fails half way must not leave a phrase in force that the user
// was never shown.
TEST_F(VaultCredentialsTest, FailedSaveOfANewPhraseKeepsTheOldOne) {
    auto v = makeVault();
    const std::string before = recordBytes(*v);
    bool failed = false;
    ConfigStore::setStepHookForTesting([&](std::string_view step, const fs::path& target) {
        if (!failed && step == "written" && target.filename() == "vault.json.bak") {
            failed = true;
            throw std::system_error(EIO, std::generic_category(), "injected");
        }
    });
    EXPECT_THROW(v->regenerateMnemonic(kPassword), VaultError);
    ConfigStore::setStepHookForTesting({});
    EXPECT_TRUE(v->checkMnemonic(phrase.phrase()));
    EXPECT_EQ(recordBytes(*v), before);
    EXPECT_TRUE(Vault::open(v->dir(), driver)->checkMnemonic(phrase.phrase()));
}

// ---------------------------------------------------------------- biometric unlock

TEST_F(VaultCredentialsTest, BiometricUnlockEnableDisable) {
    auto v = makeVault();
    expectVaultError([&] { v->unlockWithTouchID("unlock"); }, VaultError::touchIDNotEnabled());
    expectVaultError([&] { v->enableTouchID("not the password"); }, VaultError::wrongPassword());
    touch->failNextCreate("no key store");
    expectVaultError([&] { v->enableTouchID(kPassword); }, VaultError::touchID("no key store"));
    EXPECT_FALSE(onDisk(v->configURL()).touchID.has_value());
    EXPECT_EQ(touch->promptCount(), 0);

    v->enableTouchID(kPassword);
    recordBytes(*v);
    const VaultConfig saved = onDisk(v->configURL());
    ASSERT_TRUE(saved.touchID.has_value());
    EXPECT_EQ(saved.touchID->publicKey.size(), 65u);
    EXPECT_EQ(saved.touchID->blobs.size(), 1u);
    EXPECT_EQ(touch->promptCount(), 0) << "making the key needs no prompt";

    // Cancelled and failed prompts leave the vault locked.
    touch->scriptOutcome(SoftwareQuickUnlock::Kind::userCancel);
    expectVaultError([&] { v->unlockWithTouchID("unlock"); }, VaultError::touchIDCancelled());
    touch->scriptOutcome(SoftwareQuickUnlock::Kind::failed, "Fingerprint not recognised");
    expectVaultError([&] { v->unlockWithTouchID("unlock"); },
                     VaultError::touchID("Fingerprint not recognised"));
    EXPECT_FALSE(v->isUnlocked());
    EXPECT_EQ(driver->count(Op::attach), 0);

    v->unlockWithTouchID("Unlock Vault");
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_EQ(touch->promptCount(), 3);
    EXPECT_EQ(touch->reasons().back(), "Unlock Vault");
    v->unlockWithTouchID("again"); // unlocked: no prompt
    EXPECT_EQ(touch->promptCount(), 3);
    v->confirm(kPassword);

    // The key of another computer (or a changed enrolment).
    v->lock(false);
    auto elsewhere = std::make_shared<SoftwareQuickUnlock>();
    QuickUnlockKey::setProvider(elsewhere);
    expectVaultError([&] { v->unlockWithTouchID("unlock"); }, VaultError::touchIDInvalidated());
    EXPECT_EQ(elsewhere->promptCount(), 1);
    QuickUnlockKey::setProvider(touch);

    v->disableTouchID();
    recordBytes(*v);
    EXPECT_EQ(vaulttest::readFile(v->configURL()).find("touchID"), std::string::npos);
    const int prompts = touch->promptCount();
    expectVaultError([&] { v->unlockWithTouchID("unlock"); }, VaultError::touchIDNotEnabled());
    EXPECT_EQ(touch->promptCount(), prompts);
    EXPECT_FALSE(v->isUnlocked());
}

TEST_F(VaultCredentialsTest, BiometricUnlockWithNoCopyThatOpens) {
    auto v = makeVault(/*withTouchID=*/true);
    VaultConfig config = v->config();
    P256PublicKey key;
    std::copy(config.touchID->publicKey.begin(), config.touchID->publicKey.end(), key.x963.begin());
    struct Case {
        const char* name;
        std::vector<SealedSecret> blobs;
        VaultError expected;
    };
    const std::vector<Case> cases{
        {"no copies", {}, VaultError::touchIDInvalidated()},
        {"two wrong passwords",
         {Sealing::seal("wrong one", key), Sealing::seal("wrong two", key)},
         VaultError::wrongPassword()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config.touchID->blobs = c.blobs;
        ConfigStore::save(config, v->configURL(), Vault::backupURL(v->dir()));
        auto reopened = Vault::open(v->dir(), driver);
        const int prompts = touch->promptCount();
        expectVaultError([&] { reopened->unlockWithTouchID("unlock"); }, c.expected);
        EXPECT_EQ(touch->promptCount(), prompts + 1);
        EXPECT_FALSE(reopened->isUnlocked());
    }
}

// ---------------------------------------------------------------- auto-lock

TEST_F(VaultCredentialsTest, SetAutoLockSavesEveryCopyOrNothing) {
    auto v = makeVault();
    const VaultConfig::AutoLock wanted{false, true, 15};
    v->setAutoLock(wanted);
    recordBytes(*v);
    EXPECT_EQ(Vault::open(v->dir(), driver)->config().autoLock, wanted);

    // A vault directory that cannot be written to.
    ::chmod(v->dir().c_str(), 0500);
    EXPECT_THROW(v->setAutoLock(VaultConfig::AutoLock{}), VaultError);
    ::chmod(v->dir().c_str(), 0700);
    EXPECT_EQ(v->config().autoLock, wanted);
    EXPECT_EQ(onDisk(v->configURL()).autoLock, wanted);
}
