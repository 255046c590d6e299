// Unlocking at login with the password kept in the desktop's keyring, with
// real vaults (gocryptfs, as an ordinary user) and a real Secret Service
// (gnome-keyring-daemon on a private bus): a vault set to unlock at login
// opens by itself at the next start, also after the password was changed in
// the application; a password changed behind the application's back is
// reported once, deleted and the choice turned off; turning the choice off or
// forgetting the vault deletes the item; a keyring that is missing, locked or
// hanging leaves the vaults locked with one message and never holds up the
// GUI thread; no file or log line of ours ever holds the password.
#include "app/desktop/FolderLook.h"
#include "app/desktop/Notifier.h"
#include "app/model/AppModel.h"
#include "app/model/LoginUnlockController.h"
#include "app/model/Notices.h"
#include "model/support/ModelTestSupport.h"
#include "model/support/TestDiskImage.h"

#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "support/TestKeyring.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/record/VaultPreferences.h"
#include "vaultkit/vault/Vault.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace fs = std::filesystem;
using namespace modeltest;
using vaultkit::Vault;
using vaulttest::TestKeyring;
using VaultPtr = AppModel::VaultPtr;

namespace {

const std::string kPassword = "correct horse 1";
const QString qPassword = QString::fromStdString(kPassword);

// The program beside this test binary (scripts/run-as-user copies it there),
// else the one in the build tree.
std::string cliPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path beside = self.parent_path() / "hushcoffer-cli";
    if (!ec && fs::exists(beside)) return beside.string();
    return HC_CLI_BUILD_PATH;
}

// Notices as the desktop would get them.
class RecordingNotifier final : public Notifier {
public:
    explicit RecordingNotifier(QStringList* shown)
        : shown_(shown) {}
    void show(const QString& title, const QString& body, const QString&) override {
        *shown_ << title + ": " + body;
    }

private:
    QStringList* shown_;
};

class LoginUnlockTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        driver = std::make_shared<TestDiskImage>(vaulttest::fastGocryptfs());
    }
    void TearDown() override {
        model.reset();
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
    }

    // A start of the application: a new model reading the registry, then the
    // start pass; returns once the pass has ended.
    void start(bool pass = true) {
        model.reset();
        fakes = makeFakeSources();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()), fakes.take());
        model->notices().setNotifier(std::make_unique<RecordingNotifier>(&notices));
        if (!pass) return;
        bool done = false;
        model->loginUnlock().unlockAtStart([&] { done = true; });
        ASSERT_TRUE(spinUntil([&] { return done; }, 120));
    }
    // A new vault, unlocked, registered with the model.
    VaultPtr add(const std::string& name) {
        auto vault = Vault::create(tmp.path(), name, kPassword, mnemonic, {}, driver);
        model->registerVault(vault);
        return vault;
    }
    VaultPtr vault(const std::string& name) const {
        for (const auto& v : model->vaults())
            if (v->name() == name) return v;
        return nullptr;
    }
    bool await(const std::function<void(AppModel::Done)>& action) {
        std::optional<bool> result;
        action([&](bool ok) { result = ok; });
        EXPECT_TRUE(spinUntil([&] { return result.has_value(); }, 120));
        return result.value_or(false);
    }
    void enable(const VaultPtr& v, const QString& password = qPassword) {
        ASSERT_TRUE(await([&](auto done) { model->loginUnlock().enableLoginUnlock(v, password, done); }));
    }
    void lock(const VaultPtr& v) {
        ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    }
    // Two new vaults, "Docs" and "Photos", both unlocking at login; locked
    // unless `leaveUnlocked`.
    std::pair<VaultPtr, VaultPtr> twoWithTheChoice(bool leaveUnlocked = false) {
        auto docs = add("Docs");
        auto photos = add("Photos");
        enable(docs);
        enable(photos);
        if (!leaveUnlocked) {
            lock(docs);
            lock(photos);
        }
        return {docs, photos};
    }
    std::string idOf(const VaultPtr& v) const { return v->config().id.text(); }
    std::optional<nlohmann::json> storedChoice(const VaultPtr& v) const {
        return vaultkit::VaultPreferences(support).value(idOf(v), LoginUnlockController::loginUnlockKey);
    }
    QString banner() const { return model->message() ? model->message()->text : QString(); }

    TestKeyring keyring;
    vaulttest::TempDir tmp{"hc-login"};
    fs::path support;
    std::shared_ptr<TestDiskImage> driver;
    const vaultkit::Mnemonic mnemonic = vaultkit::Mnemonic::generate();
    FakeSources fakes;
    QStringList notices;
    std::unique_ptr<AppModel> model;
};

TEST_F(LoginUnlockTest, AVaultSetToUnlockAtLoginOpensByItselfAlsoAfterItsPasswordChanged) {
    start();
    auto v = add("Docs");
    EXPECT_FALSE(model->loginUnlock().unlocksAtLogin(v)); // off by default
    enable(v);
    EXPECT_EQ(banner(), kx("ok.loginUnlockOn", "Docs"));
    EXPECT_TRUE(model->loginUnlock().unlocksAtLogin(v));
    EXPECT_EQ(storedChoice(v), nlohmann::json(true));
    auto items = keyring.items(idOf(v));
    ASSERT_EQ(items.size(), 1u);
    // named as this application's, found by the same attributes as before
    EXPECT_EQ(items[0].label, kx("loginUnlock.keyringLabel", "Docs").toStdString());
    EXPECT_EQ(items[0].secret, kPassword);

    // The next start, with the vault locked: the pass shows the usual busy
    // text and ends with the vault open and no message.
    lock(v);
    start(false);
    std::set<QString> busyTexts;
    QObject::connect(model.get(), &AppModel::changed, [&] {
        for (const auto& [id, text] : model->working())
            busyTexts.insert(text);
    });
    bool done = false;
    model->loginUnlock().unlockAtStart([&] { done = true; });
    ASSERT_TRUE(spinUntil([&] { return done; }, 120));
    v = vault("Docs");
    EXPECT_TRUE(model->isUnlocked(v));
    EXPECT_EQ(busyTexts, std::set<QString>{kx("work.unlocking")});
    EXPECT_FALSE(model->message());
    EXPECT_TRUE(notices.isEmpty());

    // A password change in the application replaces the stored copy ...
    const QString second = QStringLiteral("second password 2");
    ASSERT_TRUE(await([&](auto done2) { model->changePassword(v, qPassword, second, done2); }));
    EXPECT_EQ(keyring.items(idOf(v)).at(0).secret, second.toStdString());
    lock(v);
    start();
    v = vault("Docs");
    EXPECT_TRUE(model->isUnlocked(v));

    // ... and so does a recovery with a new password.
    lock(v);
    const QString third = QStringLiteral("third password 3");
    ASSERT_TRUE(await(
        [&](auto done2) { model->recover(v, QString::fromStdString(mnemonic.phrase()), third, done2); }));
    EXPECT_TRUE(spinUntil([&] {
        const auto now = keyring.items(idOf(v));
        return now.size() == 1 && now[0].secret == third.toStdString();
    }));
    lock(v);
    start();
    EXPECT_TRUE(model->isUnlocked(vault("Docs")));
    EXPECT_EQ(keyring.items(idOf(v)).size(), 1u);
}

TEST_F(LoginUnlockTest, OnlyThePasswordThatOpensTheVaultIsStored) {
    start();
    auto v = add("Docs");
    EXPECT_FALSE(await([&](auto done) { model->loginUnlock().enableLoginUnlock(v, "not the password", done); }));
    EXPECT_EQ(banner(), kx("err.wrongPassword"));
    EXPECT_TRUE(keyring.items(idOf(v)).empty());
    EXPECT_FALSE(model->loginUnlock().unlocksAtLogin(v));

    // a vault this run of the application did not unlock (still open from
    // an earlier run, or opened by the command-line tool) takes its password
    start();
    v = vault("Docs");
    ASSERT_TRUE(model->isUnlocked(v));
    enable(v);
    EXPECT_EQ(keyring.items(idOf(v)).at(0).secret, kPassword);
}

TEST_F(LoginUnlockTest, APasswordChangedBehindTheApplicationsBackIsReportedOnceDeletedAndTheChoiceTurnedOff) {
    start();
    auto [docs, photos] = twoWithTheChoice();
    model.reset();

    // the command-line tool changes the password of one vault
    const std::string input = kPassword + "\nchanged elsewhere 9\n";
    const auto r =
        vaultkit::Exec::runSync(cliPath(), {"passwd", "--password-stdin", docs->mountPoint().string()},
                                vaultkit::Bytes(input.begin(), input.end()), 120);
    ASSERT_EQ(r.status, 0) << r.stderrText;

    LogLines log;
    start();
    docs = vault("Docs");
    photos = vault("Photos");
    EXPECT_FALSE(model->isUnlocked(docs));
    EXPECT_TRUE(model->isUnlocked(photos)); // the other vault is not held up
    const QString told = kx("err.loginUnlockStale", "Docs");
    EXPECT_EQ(banner(), told);
    EXPECT_TRUE(model->message()->isError);
    EXPECT_EQ(notices, QStringList{"Docs: " + told});
    EXPECT_TRUE(keyring.items(idOf(docs)).empty());
    EXPECT_EQ(keyring.items(idOf(photos)).size(), 1u);
    EXPECT_FALSE(model->loginUnlock().unlocksAtLogin(docs));
    EXPECT_TRUE(model->loginUnlock().unlocksAtLogin(photos));
    EXPECT_FALSE(log.matching("no longer opens").empty());

    // told once: the next start does not try again and says nothing
    lock(photos);
    notices.clear();
    start();
    EXPECT_FALSE(model->isUnlocked(vault("Docs")));
    EXPECT_TRUE(model->isUnlocked(vault("Photos")));
    EXPECT_FALSE(model->message());
    EXPECT_TRUE(notices.isEmpty());
}

TEST_F(LoginUnlockTest, AVaultThatCannotBeOpenedIsReportedAndKeepsItsChoice) {
    start();
    auto [docs, photos] = twoWithTheChoice();
    // something was put into the locked vault's folder
    fs::permissions(docs->mountPoint(), fs::perms::owner_all, fs::perm_options::add);
    vaulttest::writeFile(docs->mountPoint() / "stray.txt", "x");

    start();
    EXPECT_FALSE(model->isUnlocked(vault("Docs")));
    EXPECT_TRUE(model->isUnlocked(vault("Photos")));
    const QString told = kx("err.loginUnlockSkipped", "Docs",
                            describe(vaultkit::VaultError::mountPointNotEmpty({"stray.txt"})));
    EXPECT_EQ(banner(), told);
    EXPECT_EQ(notices, QStringList{"Docs: " + told});
    // not the password's fault: it stays, and so does the choice
    EXPECT_TRUE(model->loginUnlock().unlocksAtLogin(vault("Docs")));
    EXPECT_EQ(keyring.items(idOf(docs)).size(), 1u);
}

TEST_F(LoginUnlockTest, TurningTheChoiceOffOrForgettingTheVaultDeletesTheItem) {
    start();
    auto [docs, photos] = twoWithTheChoice(/*leaveUnlocked=*/true);

    ASSERT_TRUE(await([&](auto done) { model->loginUnlock().disableLoginUnlock(docs, done); }));
    EXPECT_TRUE(keyring.items(idOf(docs)).empty());
    EXPECT_FALSE(model->loginUnlock().unlocksAtLogin(docs));
    EXPECT_FALSE(model->message() && model->message()->isError) << banner().toStdString();

    const std::string photosId = idOf(photos);
    model->forget(photos);
    EXPECT_TRUE(spinUntil([&] { return keyring.items(photosId).empty(); }, 60));
    EXPECT_FALSE(vaultkit::VaultPreferences(support).value(photosId, LoginUnlockController::loginUnlockKey));

    // neither opens at the next start
    lock(docs);
    start();
    EXPECT_FALSE(model->isUnlocked(vault("Docs")));
    EXPECT_FALSE(model->message());
}

TEST_F(LoginUnlockTest, WithoutAKeyringServiceTheVaultsStayLockedWithOneClearMessage) {
    start();
    auto [docs, photos] = twoWithTheChoice();
    keyring.stop();

    start();
    EXPECT_FALSE(model->isUnlocked(vault("Docs")));
    EXPECT_FALSE(model->isUnlocked(vault("Photos")));
    EXPECT_EQ(banner(), kx("err.loginUnlockSkipped", "Docs, Photos", kx("err.keyringNoService")));
    EXPECT_EQ(notices.size(), 1);
    EXPECT_TRUE(model->working().empty());
    // the choice stays: the vaults open at a start with a keyring again
    EXPECT_TRUE(model->loginUnlock().unlocksAtLogin(vault("Docs")));

    // turning it off without a keyring still turns it off, and says what
    // could not be done
    EXPECT_FALSE(await([&](auto done) { model->loginUnlock().disableLoginUnlock(vault("Photos"), done); }));
    EXPECT_FALSE(model->loginUnlock().unlocksAtLogin(vault("Photos")));
    EXPECT_EQ(banner(), kx("err.keyringNotRemoved", "Photos", kx("err.keyringNoService")));

    keyring.start();
    start();
    EXPECT_TRUE(model->isUnlocked(vault("Docs")));
    EXPECT_FALSE(model->isUnlocked(vault("Photos")));
}

TEST_F(LoginUnlockTest, ALockedKeyringIsAskedToUnlockOnceForAllVaults) {
    start();
    auto [docs, photos] = twoWithTheChoice();
    keyring.lock();
    const int before = keyring.promptsAsked();

    // The prompt cannot be shown here: it ends as a dismissed one would.
    start();
    EXPECT_EQ(keyring.promptsAsked(), before + 1);
    EXPECT_FALSE(model->isUnlocked(vault("Docs")));
    EXPECT_FALSE(model->isUnlocked(vault("Photos")));
    EXPECT_EQ(banner(), kx("err.loginUnlockSkipped", "Docs, Photos", kx("err.keyringLocked")));
    // nothing was deleted or turned off
    EXPECT_TRUE(model->loginUnlock().unlocksAtLogin(vault("Docs")));
    EXPECT_EQ(keyring.items(idOf(docs)).size(), 1u);
}

TEST_F(LoginUnlockTest, AHangingKeyringNeverHoldsUpTheGuiThread) {
    start();
    auto docs = add("Docs");
    enable(docs);
    lock(docs);
    model.reset();

    // The service stops answering (as a hung daemon would).
    const pid_t daemon = keyring.daemonPid();
    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);

    start(false);
    bool done = false;
    model->loginUnlock().unlockAtStart([&] { done = true; });
    // the vault shows its busy text, and the event loop goes on
    EXPECT_EQ(model->working().at(vault("Docs")->config().id), kx("work.unlocking"));
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    EXPECT_TRUE(spinUntil([&] { return timerRan; }, 10));
    EXPECT_FALSE(done);

    ::kill(daemon, SIGCONT);
    ASSERT_TRUE(spinUntil([&] { return done; }, 120));
    EXPECT_TRUE(model->isUnlocked(vault("Docs")));
}

TEST_F(LoginUnlockTest, NoFileOrLogLineOfOursHoldsThePassword) {
    LogLines log;
    const fs::path logFile = tmp / "logs" / "app.log";
    fs::create_directories(logFile.parent_path());
    kxcore::Log::shared().configure(logFile);
    start();
    auto v = add("Docs");
    enable(v);
    const QString second = QStringLiteral("second password 2");
    ASSERT_TRUE(await([&](auto done) { model->changePassword(v, qPassword, second, done); }));
    ASSERT_TRUE(await([&](auto done) { model->loginUnlock().disableLoginUnlock(v, done); }));
    enable(v, second);
    lock(v);
    start();
    ASSERT_TRUE(model->isUnlocked(vault("Docs")));
    kxcore::Log::shared().flush();

    const std::string secrets[] = {kPassword, second.toStdString()};
    for (const auto& line : log.all())
        for (const auto& secret : secrets)
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
    // every file below the test's folder (the registry, the vault settings,
    // the record backups, the log) and the settings and data folders of HOME
    std::vector<fs::path> roots{tmp.path()};
    if (const char* home = std::getenv("HOME")) {
        roots.emplace_back(fs::path(home) / ".config");
        roots.emplace_back(fs::path(home) / ".local" / "share");
    }
    int files = 0;
    for (const auto& root : roots) {
        std::error_code ec;
        for (auto it =
                 fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec) break;
            // the vault's volume holds the user's files, not ours
            if (it->is_directory() && it->path() == v->mountPoint()) {
                it.disable_recursion_pending();
                continue;
            }
            if (!it->is_regular_file()) continue;
            std::ifstream in(it->path(), std::ios::binary);
            const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ++files;
            for (const auto& secret : secrets)
                EXPECT_EQ(content.find(secret), std::string::npos) << it->path();
        }
    }
    EXPECT_TRUE(fs::exists(support / vaultkit::VaultPreferences::fileName));
    EXPECT_TRUE(fs::exists(logFile));
    EXPECT_GT(files, 3);
    kxcore::Log::shared().configure({});
}

} // namespace
