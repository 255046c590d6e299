// Vault lifecycle against real gocryptfs mounts, as an ordinary user.
#include "support/FaultyDiskImage.h"
#include "support/TestSupport.h"

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/mountmode/LockedTree.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <csignal>
#include <sys/stat.h>
#include <set>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace vaultkit;
using vaulttest::FaultyDiskImage;
using Op = FaultyDiskImage::Op;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "correct horse battery";

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

std::vector<std::string> mountsBelow(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : MountTable::read())
        if (e.mountPoint.rfind(dir.string() + "/", 0) == 0) out.push_back(e.mountPoint);
    return out;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// A child process ("sleep") whose working directory is inside a folder, so
// the volume there is busy. Ended when the object goes.
class Holder {
public:
    explicit Holder(const fs::path& inside) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(inside.c_str()) != 0) ::_exit(127);
            ::execl("/bin/sleep", "sleep", "120", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string cwdLink = "/proc/" + std::to_string(pid_) + "/cwd";
        vaulttest::waitUntil(
            [&] {
                std::error_code ec;
                return fs::read_symlink(cwdLink, ec) == inside;
            },
            5);
        // and it has become "sleep"
        vaulttest::waitUntil(
            [&] {
                try {
                    return vaulttest::readFile("/proc/" + std::to_string(pid_) + "/comm") == "sleep\n";
                } catch (...) {
                    return false;
                }
            },
            5);
    }
    ~Holder() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

class VaultMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        real = vaulttest::fastGocryptfs();
        DiskImage::setPlatformDefault(real);
        driver = std::make_shared<FaultyDiskImage>(real);
        parent = tmp / "home";
        fs::create_directory(parent);
        backups = tmp / "support" / "backups";
        Vault::setBackupDirectory(backups);
    }
    void TearDown() override {
        Vault::setBackupDirectory(std::nullopt);
        DiskImage::setPlatformDefault(nullptr);
    }

    std::shared_ptr<Vault> makeVault(const std::string& name = "Vault",
                                     std::vector<std::string>* progress = nullptr) {
        return Vault::create(
            parent, name, kPassword, Mnemonic::generate(),
            [&](const std::string& key) {
                if (progress) progress->push_back(key);
            },
            driver);
    }

    vaulttest::TempDir tmp{"hc-vault"};
    std::shared_ptr<GocryptfsDiskImage> real;
    std::shared_ptr<FaultyDiskImage> driver;
    fs::path parent, backups;
};

} // namespace

TEST_F(VaultMountTest, CreateTrimsTheNameAndLeavesAnUnlockedVerifiedVault) {
    std::vector<std::string> progress;
    const Mnemonic mnemonic = Mnemonic::generate();
    auto vault = Vault::create(
        parent, " \t Photos \n", kPassword, mnemonic, [&](const std::string& k) { progress.push_back(k); },
        driver);
    EXPECT_EQ(progress, (std::vector<std::string>{"create", "verify", "done"}));
    EXPECT_EQ(entries(parent), (std::vector<std::string>{".Photos.hushcoffer", "Photos"}));
    EXPECT_EQ(vault->dir(), parent / ".Photos.hushcoffer");
    EXPECT_EQ(vault->mountPoint(), parent / "Photos");
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_EQ(modeOf(vault->dir()), 0700u);

    const VaultConfig c = vault->config();
    EXPECT_EQ(c.name, "Photos");
    EXPECT_EQ(c.format, 1);
    EXPECT_FALSE(c.touchID);
    EXPECT_EQ(c.autoLock, VaultConfig::AutoLock{});
    const auto pub = mnemonic.recoveryKey().publicKey();
    EXPECT_EQ(c.recoveryPublicKey, std::vector<std::uint8_t>(pub.raw.begin(), pub.raw.end()));
    ASSERT_EQ(c.recoveryBlobs.size(), 1u);
    EXPECT_EQ(Sealing::open(c.recoveryBlobs[0], mnemonic.recoveryKey()), kPassword);
    const auto age = std::chrono::system_clock::now() - c.createdAt;
    EXPECT_LT(std::chrono::abs(age), std::chrono::minutes(1));

    // The three copies hold the same bytes; the marker holds the id.
    const std::string json = vaulttest::readFile(vault->configURL());
    EXPECT_EQ(json, ConfigCoding::encode(c));
    EXPECT_EQ(vaulttest::readFile(vault->dir() / "vault.json.bak"), json);
    EXPECT_EQ(vaulttest::readFile(*Vault::backupURL(vault->dir())), json);
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / ".hushcoffer-id"), c.id.text());
    EXPECT_TRUE(fs::exists(vault->mountPoint() / ".trackerignore"));

    // README.txt: eleven lines, the driver's four in the middle, no final line feed.
    const std::string readme = vaulttest::readFile(vault->dir() / "README.txt");
    std::vector<std::string> lines;
    for (std::size_t start = 0;;) {
        auto end = readme.find('\n', start);
        lines.push_back(readme.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 11u) << readme;
    EXPECT_EQ(lines[0], "这是「Photos」加密文件夹的数据（Hushcoffer 创建）。");
    EXPECT_EQ(lines[1], "This folder holds the encrypted data of \"Photos\" (created by Hushcoffer).");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "不用 Hushcoffer 也能打开 / Open without Hushcoffer:");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 8), real->readmeHowToOpen());
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[10],
              "Do not delete or modify anything here. Back up this whole folder (copies stay encrypted).");

    // The password is remembered from the attach: confirm needs no tool.
    driver->clearCalls();
    EXPECT_NO_THROW(vault->confirm(kPassword));
    EXPECT_EQ(driver->count(Op::checkPassword), 0);
    EXPECT_THROW(vault->confirm(kPassword + "x"), VaultError);

    // A second vault of the same name is refused before anything is made.
    EXPECT_EQ(
        [&] {
            try {
                makeVault("Photos");
            } catch (const VaultError& e) {
                return e;
            }
            return VaultError::io("created");
        }(),
        VaultError::alreadyExists((parent / ".Photos.hushcoffer").string()));
}

TEST_F(VaultMountTest, CreateRefusesBadInputBeforeWritingAnything) {
    for (const char* name : {"", "   ", ".hidden", "a/b", "a:b", "\xff"})
        EXPECT_THROW(makeVault(name), VaultError) << name;
    EXPECT_THROW(Vault::create(parent, "Short", "1234567", Mnemonic::generate(), {}, driver), VaultError);
    fs::create_directory(parent / "Taken");
    vaulttest::writeFile(parent / "Taken" / "notes.txt", "mine");
    try {
        makeVault("Taken");
        FAIL();
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::alreadyExists((parent / "Taken").string()));
    }
    EXPECT_EQ(entries(parent), std::vector<std::string>{"Taken"});
    EXPECT_EQ(driver->calls().size(), 0u);
}

TEST_F(VaultMountTest, CreateAdoptsAFolderHoldingOnlyLockedLookFiles) {
    const fs::path mp = parent / "Docs";
    fs::create_directory(mp);
    vaulttest::writeFile(mp / ".DS_Store", "x");
    vaulttest::writeFile(mp / "Icon\r", "");
    vaulttest::writeFile(mp / ".directory", "[Desktop Entry]\n");
    fs::create_symlink("/usr/share/applications/hushcoffer.desktop", mp / "Open Hushcoffer");
    fs::create_symlink("/Applications/Hushcoffer.app", mp / "Hushcoffer");
    auto vault = makeVault("Docs");
    EXPECT_TRUE(vault->isUnlocked());
    vault->lock(false);
    EXPECT_TRUE(fs::is_symlink(mp / "Open Hushcoffer")) << "the locked look stays under the volume";
}

// A creation stopped (killed) before its first record leaves a vault
// directory holding at most a fresh image and temporary record files. Creating
// the vault again removes it; anything that might hold the user's data (a
// file in the image, any copy of a record, a stranger's file) keeps it, and
// the name stays taken.
TEST_F(VaultMountTest, CreateClearsWhatAStoppedCreationLeftAndNothingElse) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& dir)> leave; // after the folders exist
        bool cleared;
    };
    const Case cases[] = {
        {"an empty vault directory", [](const fs::path&) {}, true},
        {"a fresh image and a temporary record",
         [&](const fs::path& dir) {
             real->create(dir / real->imageName(), kPassword, "");
             vaulttest::writeFile(dir / ".vault.json.tmp-Ab12Cd", "{\"format\":");
         },
         true},
        {"an image that holds a file",
         [&](const fs::path& dir) {
             const fs::path image = dir / real->imageName();
             real->create(image, kPassword, "");
             vaulttest::writeFile(image / "Qm9va3M-ZW5jcnlwdGVk", "cipher text");
         },
         false},
        {"the second copy of a record",
         [](const fs::path& dir) { vaulttest::writeFile(dir / "vault.json.bak", "not json"); }, false},
        {"the third copy of a record",
         [&](const fs::path& dir) {
             fs::create_directories(backups);
             vaulttest::writeFile(Vault::backupURL(dir).value(), "{}");
         },
         false},
        {"a file of someone else's", [](const fs::path& dir) { vaulttest::writeFile(dir / "notes.txt", "mine"); },
         false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = "Stopped" + std::to_string(n++);
        const fs::path dir = parent / ("." + name + ".hushcoffer");
        fs::create_directory(parent / name);
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        c.leave(dir);
        const auto before = entries(dir);
        if (c.cleared) {
            auto vault = makeVault(name);
            EXPECT_TRUE(vault->isUnlocked());
            vault->lock(false);
            auto reopened = Vault::open(dir);
            reopened->unlock(kPassword);
            EXPECT_TRUE(reopened->isUnlocked()) << "the new vault opens with its password";
            reopened->lock(false);
        } else {
            try {
                makeVault(name);
                ADD_FAILURE() << "created over it";
            } catch (const VaultError& e) {
                EXPECT_EQ(e, VaultError::alreadyExists(dir.string()));
            }
            EXPECT_EQ(entries(dir), before) << "left as it was";
        }
    }
}

// Every step from making the image to the recovery check, made to fail in
// turn: the error of the step comes out, and nothing the call made is left
// (no vault directory, no new visible folder, no mount, no third copy); an
// adopted empty folder stays.
TEST_F(VaultMountTest, EveryFailingCreateStepCleansUp) {
    const std::string name = "Vault";
    const fs::path dir = parent / ".Vault.hushcoffer";
    const fs::path mp = parent / name;
    auto rewriteRecord = [&](const std::function<void(VaultConfig&)>& change) {
        auto c = ConfigStore::load({dir / "vault.json"}).value();
        change(c);
        ConfigStore::save(c, dir / "vault.json", Vault::backupURL(dir));
    };
    auto injected = [](const char* verb) { return [verb] { throw VaultError::hdiutil(verb, "injected"); }; };
    auto isKind = [](VaultError::Case k) {
        return [k](const std::exception& e) {
            auto* v = dynamic_cast<const VaultError*>(&e);
            return v && v->kind() == k;
        };
    };
    auto is = [](VaultError expected) {
        return [expected](const std::exception& e) {
            auto* v = dynamic_cast<const VaultError*>(&e);
            return v && *v == expected;
        };
    };
    struct Case {
        int step;
        const char* what;
        std::function<void(FaultyDiskImage&)> arrange;
        std::function<bool(const std::exception&)> expected; // empty: create succeeds
    };
    const std::vector<Case> cases = {
        {8, "image tool fails", [&](FaultyDiskImage& d) { d.before(Op::create, 1, injected("create")); },
         is(VaultError::hdiutil("create", "injected"))},
        {9, "vault.json cannot be written",
         [&](FaultyDiskImage& d) {
             d.after(Op::create, 1, [&] { fs::create_directories(dir / "vault.json" / "x"); });
         },
         isKind(VaultError::Case::io)},
        {9, "vault.json.bak cannot be written",
         [&](FaultyDiskImage& d) {
             d.after(Op::create, 1, [&] { fs::create_directories(dir / "vault.json.bak" / "x"); });
         },
         isKind(VaultError::Case::io)},
        {10, "README.txt cannot be written",
         [&](FaultyDiskImage& d) {
             d.after(Op::create, 1, [&] { fs::create_directories(dir / "README.txt" / "x"); });
         },
         isKind(VaultError::Case::io)},
        {11, "first attach fails", [&](FaultyDiskImage& d) { d.before(Op::attach, 1, injected("attach")); },
         is(VaultError::hdiutil("attach", "injected"))},
        {12, "marker cannot be written",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 1, [&] { fs::create_directories(mp / ".hushcoffer-id" / "x"); });
         },
         isKind(VaultError::Case::io)},
        {13,
         "search-index marker cannot be made (ignored)",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 1, [&] { fs::create_directories(mp / ".trackerignore" / "x"); });
         },
         {}},
        {14, "lock fails", [&](FaultyDiskImage& d) { d.before(Op::detach, 1, injected("detach")); },
         is(VaultError::hdiutil("detach", "injected"))},
        {15, "image refuses the password after the lock",
         [&](FaultyDiskImage& d) { d.overrideCheckPassword([](bool) { return false; }); },
         is(VaultError::wrongPassword())},
        {15, "password check tool fails",
         [&](FaultyDiskImage& d) { d.before(Op::checkPassword, 1, injected("verify")); },
         is(VaultError::hdiutil("verify", "injected"))},
        {16, "second attach fails", [&](FaultyDiskImage& d) { d.before(Op::attach, 2, injected("attach")); },
         is(VaultError::hdiutil("attach", "injected"))},
        {17, "marker differs",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 2,
                     [&] { ConfigStore::writeAtomically(mp / ".hushcoffer-id", "someone else"); });
         },
         is(VaultError::io("marker mismatch"))},
        {18, "no copy of the record loads",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 2, [&] {
                 vaulttest::writeFile(dir / "vault.json", "{");
                 vaulttest::writeFile(dir / "vault.json.bak", "");
                 vaulttest::writeFile(*Vault::backupURL(dir), "[]");
             });
         },
         is(VaultError::configMissing((dir / "vault.json").string()))},
        {19, "recovery copy holds another password",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 2, [&] {
                 rewriteRecord([](VaultConfig& c) {
                     X25519PublicKey key;
                     std::copy(c.recoveryPublicKey.begin(), c.recoveryPublicKey.end(), key.raw.begin());
                     c.recoveryBlobs = {Sealing::seal("another password", key)};
                 });
             });
         },
         is(VaultError::recoveryFailed())},
        {19, "no recovery copy",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 2, [&] { rewriteRecord([](VaultConfig& c) { c.recoveryBlobs.clear(); }); });
         },
         is(VaultError::recoveryFailed())},
        {19, "recovery copy does not open",
         [&](FaultyDiskImage& d) {
             d.after(Op::attach, 2,
                     [&] { rewriteRecord([](VaultConfig& c) { c.recoveryBlobs[0].box[20] ^= 1; }); });
         },
         [](const std::exception& e) { return dynamic_cast<const CryptoError*>(&e) != nullptr; }},
    };

    for (bool adopted : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string("step ") + std::to_string(c.step) + ": " + c.what +
                         (adopted ? " (adopted folder)" : ""));
            if (adopted) fs::create_directory(mp);
            driver->clearActions();
            driver->clearCalls();
            c.arrange(*driver);
            std::exception_ptr error;
            std::shared_ptr<Vault> vault;
            try {
                vault = makeVault(name);
            } catch (...) {
                error = std::current_exception();
            }
            driver->clearActions();
            if (!c.expected) {
                ASSERT_FALSE(error);
                ASSERT_TRUE(vault->isUnlocked());
                const auto backup = *Vault::backupURL(dir);
                vault->lock(true);
                fs::permissions(mp, fs::perms::owner_all);
                fs::remove_all(dir);
                fs::remove_all(mp);
                fs::remove(backup);
                continue;
            }
            ASSERT_TRUE(error) << "create succeeded";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                EXPECT_TRUE(c.expected(e)) << "got: " << e.what();
            }
            EXPECT_TRUE(mountsBelow(tmp.path()).empty());
            EXPECT_EQ(entries(parent), adopted ? std::vector<std::string>{name} : std::vector<std::string>{});
            if (adopted) {
                EXPECT_TRUE(fs::is_directory(mp));
                EXPECT_TRUE(Vault::visibleItems(mp).empty());
                fs::permissions(mp, fs::perms::owner_all);
                fs::remove_all(mp);
            }
            std::error_code ec;
            EXPECT_TRUE(!fs::exists(backups, ec) || fs::is_empty(backups)) << "third copy left behind";
        }
    }
}

TEST_F(VaultMountTest, UnlockOfAnUnlockedVaultReturnsAtOnce) {
    auto vault = makeVault();
    driver->clearCalls();
    EXPECT_NO_THROW(vault->unlock("not the password"));
    EXPECT_EQ(driver->count(Op::attach), 0);
    EXPECT_EQ(driver->count(Op::checkPassword), 0);
    EXPECT_TRUE(vault->isUnlocked());
}

TEST_F(VaultMountTest, LockUnlockAndConfirmRoundTrip) {
    auto vault = makeVault();
    vaulttest::writeFile(vault->mountPoint() / "secret.txt", "data");
    vault->lock(false);
    EXPECT_FALSE(vault->isUnlocked());
    EXPECT_EQ(modeOf(vault->mountPoint()), 0555u);
    EXPECT_FALSE(fs::exists(vault->mountPoint() / "secret.txt"));

    // Confirm while locked: a password check on the image, nothing mounted.
    driver->clearCalls();
    EXPECT_NO_THROW(vault->confirm(kPassword));
    EXPECT_THROW(vault->confirm(kPassword + "!"), VaultError);
    EXPECT_EQ(driver->count(Op::checkPassword), 2);
    EXPECT_EQ(driver->count(Op::attach), 0);
    EXPECT_FALSE(vault->isUnlocked());

    // A wrong password leaves it locked; the right one unlocks.
    try {
        vault->unlock("wrong password");
        FAIL();
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::wrongPassword());
    }
    EXPECT_FALSE(vault->isUnlocked());
    vault->unlock(kPassword);
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "secret.txt"), "data");

    // The same vault opened afresh (a new process) has no remembered
    // password: the image answers for it, so the right one is confirmed and
    // a wrong one refused.
    auto reopened = Vault::open(vault->dir(), driver);
    EXPECT_TRUE(reopened->isUnlocked());
    EXPECT_THROW(reopened->confirm(kPassword + "x"), VaultError);
    EXPECT_NO_THROW(reopened->confirm(kPassword));
    reopened->lock(false);
    EXPECT_FALSE(vault->isUnlocked());
}

TEST_F(VaultMountTest, LockOfALockedVaultStillMakesTheFolderReadOnly) {
    auto vault = makeVault();
    vault->lock(false);
    fs::permissions(vault->mountPoint(), fs::perms::owner_all);
    driver->clearCalls();
    vault->lock(false);
    EXPECT_EQ(driver->count(Op::detach), 0);
    EXPECT_EQ(modeOf(vault->mountPoint()), 0555u);
}

TEST_F(VaultMountTest, BusyLockRetriesTwiceThenNamesTheHolder) {
    auto vault = makeVault();
    Holder holder(vault->mountPoint());
    driver->clearCalls();
    const auto start = std::chrono::steady_clock::now();
    try {
        vault->lock(false);
        FAIL() << "locked a busy volume";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::busy);
        EXPECT_NE(std::find(e.payload().begin(), e.payload().end(), "sleep"), e.payload().end()) << e.what();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto detaches = driver->calls(Op::detach);
    ASSERT_EQ(detaches.size(), 3u);
    for (const auto& d : detaches)
        EXPECT_FALSE(d.force);
    EXPECT_GE(elapsed, std::chrono::milliseconds(2100)) << "pauses of 0.7 s and 1.4 s";
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_NO_THROW(vault->confirm(kPassword)) << "a failed lock keeps the remembered password";
    EXPECT_NE(modeOf(vault->mountPoint()), 0555u) << "a failed lock leaves the folder alone";

    // Forced: every attempt carries the flag, and the volume is gone.
    driver->clearCalls();
    vault->lock(true);
    for (const auto& d : driver->calls(Op::detach))
        EXPECT_TRUE(d.force);
    EXPECT_FALSE(vault->isUnlocked());
    EXPECT_EQ(modeOf(vault->mountPoint()), 0555u);
    EXPECT_THROW(vault->confirm("wrong password"), VaultError);
}

TEST_F(VaultMountTest, BusyDetachOfAVolumeThatIsNoLongerMountedIsForced) {
    auto vault = makeVault();
    // The volume leaves the mount table (lazily unmounted elsewhere) while our
    // detach reports busy: the lock finishes with a forced detach.
    driver->clearCalls();
    driver->before(Op::detach, 1, [&] {
        vaulttest::unmountAllBelow(parent);
        throw VaultError::busy({});
    });
    vault->lock(false);
    const auto detaches = driver->calls(Op::detach);
    ASSERT_EQ(detaches.size(), 2u);
    EXPECT_FALSE(detaches[0].force);
    EXPECT_TRUE(detaches[1].force);
    EXPECT_EQ(modeOf(vault->mountPoint()), 0555u);
}

TEST_F(VaultMountTest, ForeignAttachmentIsReleasedOrReported) {
    auto vault = makeVault();
    vault->lock(false);
    const fs::path elsewhere = tmp / "elsewhere";
    fs::create_directory(elsewhere);
    real->attach(vault->image(), kPassword, elsewhere);
    ASSERT_TRUE(real->isMountPoint(elsewhere));
    {
        Holder holder(elsewhere);
        try {
            vault->unlock(kPassword);
            FAIL();
        } catch (const VaultError& e) {
            EXPECT_EQ(e, VaultError::openedElsewhere());
        }
        EXPECT_THROW(vault->confirm(kPassword), VaultError) << "confirm releases first, and fails too";
    }
    driver->clearCalls();
    vault->unlock(kPassword);
    EXPECT_TRUE(vault->isUnlocked());
    EXPECT_FALSE(real->isMountPoint(elsewhere));
    const auto detaches = driver->calls(Op::detach);
    ASSERT_EQ(detaches.size(), 1u);
    EXPECT_EQ(detaches[0].argument, elsewhere.string());
    EXPECT_FALSE(detaches[0].force);
}

TEST_F(VaultMountTest, AVolumeMountedWithoutTheImageIsReported) {
    auto vault = makeVault();
    vault->lock(false);
    fs::create_directory(tmp / "other");
    const fs::path other = vaulttest::makeImage(tmp / "other", kPassword);
    real->attach(other, kPassword, vault->mountPoint());
    EXPECT_TRUE(vault->isUnlocked());
    try {
        vault->lock(false);
        FAIL();
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::io("volume mounted but image not attached"));
    }
    EXPECT_NO_THROW(vault->unlock(kPassword)) << "counts as unlocked";
}

TEST_F(VaultMountTest, PrepareMountPointRefusesContentAndNonFolders) {
    auto vault = makeVault();
    vault->lock(false);
    const fs::path mp = vault->mountPoint();
    fs::permissions(mp, fs::perms::owner_all);
    vaulttest::writeFile(mp / "stray.txt", "x");
    try {
        vault->unlock(kPassword);
        FAIL();
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::mountPointNotEmpty({"stray.txt"}));
    }
    fs::remove_all(mp);
    vaulttest::writeFile(mp, "a file");
    try {
        vault->unlock(kPassword);
        FAIL();
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::alreadyExists(mp.string()));
    }
    fs::remove(mp);
    vault->unlock(kPassword); // a missing folder is made again
    EXPECT_TRUE(vault->isUnlocked());
}

namespace {

// The options of the gocryptfs daemon serving the vault's folder, from its
// command line.
std::set<std::string> daemonOptions(const Vault& vault) {
    std::set<std::string> args;
    for (const auto& e : MountTable::read()) {
        if (e.mountPoint != vault.mountPoint().string()) continue;
        for (const pid_t p : GocryptfsDiskImage::daemonsServing(e)) {
            const std::string cmdline = vaulttest::readFile("/proc/" + std::to_string(p) + "/cmdline");
            for (std::size_t pos = 0; pos < cmdline.size();) {
                const auto end = std::min(cmdline.find('\0', pos), cmdline.size());
                args.insert(cmdline.substr(pos, end - pos));
                pos = end + 1;
            }
        }
    }
    return args;
}

const char* modeOfDaemon(const Vault& vault) {
    const auto args = daemonOptions(vault);
    const bool shared = args.count("-sharedstorage") > 0;
    const bool local = args.count("-kernel_cache") > 0;
    if (shared == local) return "unclear";
    return shared ? "shared" : "local";
}

pid_t daemonOf(const Vault& vault) {
    for (const auto& e : MountTable::read())
        if (e.mountPoint == vault.mountPoint().string()) {
            const auto pids = GocryptfsDiskImage::daemonsServing(e);
            if (pids.size() == 1) return pids[0];
        }
    return -1;
}

} // namespace

// A vault below the root of each sync client's folder (the client's marker
// made as the client makes it) is mounted shared; the same vault elsewhere is
// mounted local.
TEST_F(VaultMountTest, VaultsInSyncedFoldersMountSharedAndOthersLocal) {
    auto plain = makeVault("Plain");
    EXPECT_STREQ(modeOfDaemon(*plain), "local");
    EXPECT_EQ(plain->mountModeDecision().synced, std::nullopt);
    plain->lock(false);

    // The clients' configuration is read below HOME: a home of the test's
    // own, where the Nextcloud and ownCloud clients have their folders (their
    // exclude lists go there).
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdgText = savedXdg ? savedXdg : "";
    struct RestoreHome {
        std::string home, xdg;
        bool hadXdg;
        ~RestoreHome() {
            ::setenv("HOME", home.c_str(), 1);
            if (hadXdg) ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
        }
    } restoreHome{savedHome, savedXdgText, savedXdg != nullptr};
    fs::create_directories(tmp / "testhome" / ".config" / "Nextcloud");
    fs::create_directories(tmp / "testhome" / ".config" / "ownCloud");
    ::setenv("HOME", (tmp / "testhome").c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");

    int n = 0;
    for (const auto& marker : SyncedFolders::markers()) {
        const std::string name(marker.name);
        SCOPED_TRACE(std::string(marker.client) + " " + name);
        const fs::path root = tmp / ("synced" + std::to_string(++n));
        const fs::path entry = root / (name.find('*') == std::string::npos
                                           ? name
                                           : name.substr(0, name.find('*')) + "7f3a9c" + name.substr(name.find('*') + 1));
        if (marker.kind == SyncedFolders::Marker::Kind::file) {
            fs::create_directories(root);
            vaulttest::writeFile(entry, "");
        } else {
            fs::create_directories(entry);
            if (!marker.inside.empty()) vaulttest::writeFile(entry / std::string(marker.inside), "");
        }
        fs::create_directories(root / "Documents");
        auto vault = Vault::create(root / "Documents", "Synced", kPassword, Mnemonic::generate(), {}, driver);
        if (marker.client == "Insync") {
            // No exclusion can be written there: the vault is made, but it
            // opens outside the synced folder, its visible folder locked.
            EXPECT_TRUE(mountsBelow(root).empty());
            EXPECT_EQ(vault->openFolder(), vault->outsideFolder());
            EXPECT_TRUE(fs::exists(vault->openFolder() / Vault::markerName));
            EXPECT_EQ(modeOf(vault->mountPoint()), 0555u);
            EXPECT_TRUE(entries(vault->mountPoint()).empty());
            vault->lock(false);
            EXPECT_FALSE(fs::exists(vault->outsideFolder()));
            continue;
        }
        EXPECT_STREQ(modeOfDaemon(*vault), "shared");
        EXPECT_TRUE(SyncExclusion::inspect(vault->mountPoint()).allInForce());
        const auto decision = vault->mountModeDecision();
        ASSERT_TRUE(decision.synced);
        EXPECT_EQ(decision.synced->client, marker.client);
        vault->lock(false);
    }
}

// The user's choice, kept in this computer's vault settings, overrides what
// the folder suggests, both ways, from the next unlock on; "automatic"
// forgets the choice.
TEST_F(VaultMountTest, TheMountModeChoiceOverridesTheFolderBothWays) {
    using Choice = MountModePolicy::Choice;
    EXPECT_THROW(makeVault("Early")->setMountModeChoice(Choice::shared), VaultError) << "nowhere to keep it";
    Vault::setPreferencesDirectory(tmp / "support");
    struct Reset {
        ~Reset() { Vault::setPreferencesDirectory(std::nullopt); }
    } reset;

    auto plain = makeVault("Plain");
    fs::create_directories(tmp / "Dropbox" / "Work");
    vaulttest::writeFile(tmp / "Dropbox" / ".dropbox", "");
    auto synced = Vault::create(tmp / "Dropbox" / "Work", "Synced", kPassword, Mnemonic::generate(), {}, driver);
    EXPECT_STREQ(modeOfDaemon(*plain), "local");
    EXPECT_STREQ(modeOfDaemon(*synced), "shared");

    plain->setMountModeChoice(Choice::shared);
    synced->setMountModeChoice(Choice::local);
    EXPECT_STREQ(modeOfDaemon(*plain), "local") << "takes effect at the next unlock";
    for (auto* v : {&plain, &synced}) {
        (*v)->lock(false);
        (*v)->unlock(kPassword);
    }
    EXPECT_STREQ(modeOfDaemon(*plain), "shared");
    EXPECT_STREQ(modeOfDaemon(*synced), "local");
    EXPECT_EQ(synced->mountModeDecision().synced->client, "Dropbox") << "what was found is still told";

    // Another process (the command-line tool) sees the same choice.
    EXPECT_EQ(Vault::open(synced->dir(), driver)->mountModeChoice(), Choice::local);
    synced->setMountModeChoice(Choice::automatic);
    EXPECT_EQ(Vault::preferences()->value(synced->config().id.text(), MountModePolicy::preferenceKey), std::nullopt);
    synced->lock(false);
    synced->unlock(kPassword);
    EXPECT_STREQ(modeOfDaemon(*synced), "shared");
}

// A killed daemon leaves a mount nobody serves: the vault is then stale, not
// unlocked, and unlock clears the dead mount and mounts again with the data
// intact. A stopped daemon is alive: the vault stays unlocked and nothing
// waits for it.
TEST_F(VaultMountTest, AKilledDaemonMakesTheVaultStaleAndUnlockRecoversIt) {
    auto vault = makeVault();
    auto other = makeVault("Other");
    vaulttest::writeFile(vault->mountPoint() / "keep.txt", "intact");

    const pid_t stoppedDaemon = daemonOf(*other);
    ASSERT_GT(stoppedDaemon, 0);
    ASSERT_EQ(::kill(stoppedDaemon, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{stoppedDaemon};

    const pid_t daemon = daemonOf(*vault);
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);
    ASSERT_TRUE(vaulttest::waitUntil([&] { return vault->mountState() != DiskImage::MountState::mounted; }, 5));

    EXPECT_EQ(vault->mountState(), DiskImage::MountState::stale);
    EXPECT_FALSE(vault->isUnlocked());
    EXPECT_EQ(other->mountState(), DiskImage::MountState::mounted) << "stopped, not dead";
    EXPECT_EQ(Vault::unlockedStates({vault, other}), (std::vector<bool>{false, true}));
    EXPECT_EQ(Vault::mountStates({vault, other}),
              (std::vector<DiskImage::MountState>{DiskImage::MountState::stale, DiskImage::MountState::mounted}));

    EXPECT_THROW(vault->unlock("wrong password"), VaultError);
    EXPECT_NE(vault->mountState(), DiskImage::MountState::mounted);
    vault->unlock(kPassword);
    EXPECT_EQ(vault->mountState(), DiskImage::MountState::mounted);
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "keep.txt"), "intact");
    EXPECT_EQ(mountsBelow(tmp.path()).size(), 2u) << "the dead mount is gone, not stacked under the new one";

    EXPECT_NO_THROW(other->unlock("not checked")) << "unlocked: returns at once";
    ::kill(stoppedDaemon, SIGCONT);
    other->lock(false);
    vault->lock(false);
    EXPECT_EQ(vault->mountState(), DiskImage::MountState::notMounted);
}

// A vault in a Dropbox folder carries Dropbox's ignore attribute on its
// visible folder while locked (set on the folder itself before each mount)
// and while unlocked (the client then reads the volume root's, through the
// mount). A folder that lost it gets it back at the next unlock.
TEST_F(VaultMountTest, ADropboxVaultCarriesTheIgnoreAttributeLockedAndUnlocked) {
    constexpr const char* attribute = "user.com.dropbox.ignored";
    auto ignored = [&](const fs::path& p) {
        char value[4] = {};
        return ::getxattr(p.c_str(), attribute, value, sizeof value) == 1 && value[0] == '1';
    };
    fs::create_directories(tmp / "Dropbox" / "Work");
    vaulttest::writeFile(tmp / "Dropbox" / ".dropbox", "");
    auto vault = Vault::create(tmp / "Dropbox" / "Work", "Notes", kPassword, Mnemonic::generate(), {}, driver);
    ASSERT_TRUE(vault->isUnlocked());
    EXPECT_TRUE(ignored(vault->mountPoint())) << "through the mount";
    vault->lock(false);
    EXPECT_TRUE(ignored(vault->mountPoint())) << "on the folder itself";

    // A vault locked before the attribute was known: the read-only folder
    // (0555) still gets it.
    ::chmod(vault->mountPoint().c_str(), 0755);
    ASSERT_EQ(::removexattr(vault->mountPoint().c_str(), attribute), 0);
    ::chmod(vault->mountPoint().c_str(), 0555);
    vault->unlock(kPassword);
    EXPECT_TRUE(ignored(vault->mountPoint()));
    vault->lock(false);
    EXPECT_TRUE(ignored(vault->mountPoint())) << "set again before the mount";
}

namespace {

// The encrypted name of the one file the mount gained between two listings
// of the image folder.
std::string newCipherName(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    return added.size() == 1 ? added.front() : std::string();
}

} // namespace

// A sync client that syncs the image folder alone (its marker inside the
// vault directory) replaces a file (temporary file, then rename) while the
// vault is unlocked; an append right after must land after the new content.
// In local mode the kernel kept the old size and the append overwrote the
// other computer's bytes; the marker inside makes the mount shared.
TEST_F(VaultMountTest, AnAppendAfterASyncClientReplacedTheFileLandsAtItsNewEnd) {
    auto vault = makeVault("Doc");
    vault->lock(false);
    fs::create_directories(vault->image() / ".stfolder");
    ASSERT_EQ(vault->mountModeDecision().mode, DiskImage::MountMode::shared);
    vault->unlock(kPassword);
    ASSERT_STREQ(modeOfDaemon(*vault), "shared");

    const fs::path doc = vault->mountPoint() / "doc.txt";
    const auto before = entries(vault->image());
    vaulttest::writeFile(doc, std::string(200, 'B')); // the other computer's version
    const std::string cipher = newCipherName(before, entries(vault->image()));
    ASSERT_FALSE(cipher.empty());
    const std::string theirs = vaulttest::readFile(vault->image() / cipher);
    vaulttest::writeFile(doc, std::string(100, 'A')); // this computer's
    ASSERT_EQ(vaulttest::readFile(doc), std::string(100, 'A'));

    // the client puts the other version in place, and the user appends
    vaulttest::writeFile(vault->image() / ".syncthing.doc.tmp", theirs);
    fs::rename(vault->image() / ".syncthing.doc.tmp", vault->image() / cipher);
    {
        std::ofstream out(doc, std::ios::binary | std::ios::app);
        out << "C";
    }
    EXPECT_EQ(vaulttest::readFile(doc), std::string(200, 'B') + "C");
    vault->lock(false);
}

// Encrypted files that changed while the vault was locked on this computer
// were written by something else: from that unlock on the vault is mounted
// shared, and says why. This computer's own changes (its writes while
// unlocked, a password change while locked) do not count.
TEST_F(VaultMountTest, EncryptedFilesChangedWhileLockedMakeTheVaultShared) {
    Vault::setPreferencesDirectory(tmp / "support");
    struct Reset {
        ~Reset() { Vault::setPreferencesDirectory(std::nullopt); }
    } reset;
    auto vault = makeVault("Doc");
    EXPECT_STREQ(modeOfDaemon(*vault), "local");
    // a digest an earlier version kept in the settings is ignored and removed
    const std::string id = vault->config().id.text();
    Vault::preferences()->setValue(id, "lockedTree", "0123abcd");
    vaulttest::writeFile(vault->mountPoint() / "a.txt", "mine");
    fs::create_directories(vault->mountPoint() / "d1" / "d2" / "d3");
    vaulttest::writeFile(vault->mountPoint() / "d1" / "d2" / "d3" / "deep.txt", "deep");
    vault->lock(false);
    EXPECT_FALSE(Vault::preferences()->value(id, "lockedTree").has_value());
    {
        // the unlock compares folder stamps only: no folder is listed
        std::vector<fs::path> listed;
        LockedTree::setReadHookForTesting([&listed](const fs::path& dir) { listed.push_back(dir); });
        struct NoHook {
            ~NoHook() { LockedTree::setReadHookForTesting({}); }
        } noHook;
        vault->unlock(kPassword);
        EXPECT_TRUE(listed.empty()) << listed.size() << " folders listed, first " << listed.front();
    }
    EXPECT_STREQ(modeOfDaemon(*vault), "local") << "nothing changed while it was locked";
    vault->lock(false);
    vault->changePassword(kPassword, kPassword + " 2");
    vault->unlock(kPassword + " 2");
    EXPECT_STREQ(modeOfDaemon(*vault), "local") << "a password change made here";
    vault->lock(false);

    // a sync client's temporary file, come and gone while locked
    vaulttest::writeFile(vault->image() / ".syncthing.a.txt.tmp", "x");
    fs::remove(vault->image() / ".syncthing.a.txt.tmp");
    vault->unlock(kPassword + " 2");
    EXPECT_STREQ(modeOfDaemon(*vault), "shared");
    const auto decision = vault->mountModeDecision();
    ASSERT_TRUE(decision.synced);
    EXPECT_EQ(decision.synced->kind, SyncedFolders::Finding::Kind::changes);
    EXPECT_EQ(MountModePolicy::explain(decision).key, "mountMode.why.changedWhileLocked");
    vault->lock(false);
    vault->unlock(kPassword + " 2");
    EXPECT_STREQ(modeOfDaemon(*vault), "shared") << "and at later unlocks";
    vault->lock(false);

    vault->setMountModeChoice(MountModePolicy::Choice::local);
    vault->unlock(kPassword + " 2");
    EXPECT_STREQ(modeOfDaemon(*vault), "local") << "the user's choice still wins";
    vault->lock(false);
}

// A file put into a deep folder of the encrypted tree while the vault is
// locked (as a sync client puts a new version in place) is seen at the
// unlock, although the unlock lists no folder.
TEST_F(VaultMountTest, FileAddedDeepInTheTreeWhileLockedMakesTheVaultShared) {
    Vault::setPreferencesDirectory(tmp / "support");
    struct Reset {
        ~Reset() { Vault::setPreferencesDirectory(std::nullopt); }
    } reset;
    auto vault = makeVault("Deep");
    fs::create_directories(vault->mountPoint() / "d1" / "d2" / "d3");
    vaulttest::writeFile(vault->mountPoint() / "d1" / "d2" / "d3" / "deep.txt", "deep");
    vault->lock(false);
    vault->unlock(kPassword);
    EXPECT_STREQ(modeOfDaemon(*vault), "local");
    vault->lock(false);

    fs::path deepest = vault->image();
    for (int level = 0; level < 3; ++level) {
        for (const auto& entry : fs::directory_iterator(deepest))
            if (entry.is_directory()) {
                deepest = entry.path();
                break;
            }
    }
    const fs::path below = deepest.lexically_relative(vault->image());
    ASSERT_EQ(std::distance(below.begin(), below.end()), 3) << below;
    // what a sync client leaves: a copy of a file beside it
    for (const auto& entry : fs::directory_iterator(deepest))
        if (entry.is_regular_file() && entry.path().filename() != "gocryptfs.diriv") {
            fs::copy_file(entry.path(), deepest / (entry.path().filename().string() + ".sync-conflict-1"));
            break;
        }
    vault->unlock(kPassword);
    EXPECT_STREQ(modeOfDaemon(*vault), "shared");
    vault->lock(false);
}
