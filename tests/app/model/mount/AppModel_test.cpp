// The model with real vaults (gocryptfs over FUSE, as an ordinary user): the
// runner's busy prompt, the password change with its safety net, import, the
// quit pass, the refresh tick, and the GUI thread staying free while a tool
// works.
#include "app/desktop/FolderLook.h"
#include "app/desktop/LogindSleepMonitor.h"
#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "app/shell/AppDelegate.h"
#include "model/support/ModelMountFixture.h"
#include "model/support/ModelTestSupport.h"
#include "model/support/TestDiskImage.h"

#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxui/kx.h"
#include "support/SoftwareQuickUnlock.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;
using namespace modeltest;
using vaultkit::Vault;
using vaultkit::VaultConfig;
using vaultkit::VaultError;

namespace {

// ---- The runner ---------------------------------------------------------------

TEST_F(ModelMountTest, UnlockAndLockShowTheBusyTextAndEndWithTheLooks) {
    start();
    auto v = add("Docs");
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_FALSE(v->isUnlocked());
    EXPECT_EQ(modeOf(v->mountPoint()), 0555);

    // wrong password: one banner, one log line, no prompt
    LogLines log;
    EXPECT_FALSE(await([&](auto done) { model->unlock(v, "wrong password!", done); }));
    ASSERT_TRUE(model->message());
    EXPECT_TRUE(model->message()->isError);
    EXPECT_EQ(model->message()->text, kx("err.wrongPassword"));
    EXPECT_FALSE(model->busyPrompt());
    EXPECT_EQ(log.matching(kx("work.unlocking").toStdString() + " failed: ").size(), 1u);
    // The failed unlock leaves the locked folder read-only as it was.
    EXPECT_EQ(modeOf(v->mountPoint()), 0555);

    bool sawBusyText = false;
    QObject::connect(model.get(), &AppModel::changed, [&] {
        auto it = model->working().find(v->config().id);
        if (it != model->working().end() && it->second == kx("work.unlocking")) sawBusyText = true;
    });
    EXPECT_TRUE(await([&](auto done) { model->unlock(v, qPassword, done); }));
    EXPECT_TRUE(sawBusyText);
    EXPECT_TRUE(model->working().empty());
    EXPECT_TRUE(v->isUnlocked());
}

TEST_F(ModelMountTest, ABusyLockGivesAPromptWithTheNamesOrNoneAndNoBanner) {
    start();
    auto v = add("Docs");
    LogLines log;
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{"vim", "bash"}, std::vector<std::string>{}}) {
        SCOPED_TRACE(names.size());
        driver->clearBusy();
        driver->setBusy(v->mountPoint().string(), names);
        model->setBusyPrompt(std::nullopt);
        EXPECT_FALSE(await([&](auto done) { model->lock(v, false, done); }));
        ASSERT_TRUE(model->busyPrompt());
        EXPECT_EQ(model->busyPrompt()->vault, v);
        QStringList expected;
        for (const auto& n : names)
            expected << QString::fromStdString(n);
        EXPECT_EQ(model->busyPrompt()->processes, expected);
        EXPECT_FALSE(model->busyPrompt()->then);
        EXPECT_FALSE(model->message());
        EXPECT_TRUE(model->working().empty());
        EXPECT_TRUE(v->isUnlocked());
    }
    EXPECT_EQ(log.matching(kx("work.locking").toStdString() + " busy: [\"vim\", \"bash\"]").size(), 1u);
    EXPECT_EQ(log.matching(kx("work.locking").toStdString() + " busy: []").size(), 1u);
    EXPECT_EQ(driver->forcedDetaches, 0);
    // the prompt's force: a forced lock works
    EXPECT_TRUE(await([&](auto done) { model->lock(v, true, done); }));
    EXPECT_FALSE(v->isUnlocked());
}

TEST_F(ModelMountTest, TheGuiThreadKeepsTurningWhileAToolWorks) {
    start();
    auto v = add("Slow");
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    driver->attachDelayMs = 3000;
    int turns = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++turns; });
    timer.start(50);
    QElapsedTimer clock;
    clock.start();
    std::optional<bool> result;
    model->unlock(v, qPassword, [&](bool ok) { result = ok; });
    // the call returned at once, with the busy text showing
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_EQ(model->working().count(v->config().id), 1u);
    ASSERT_TRUE(spinUntil([&] { return result.has_value(); }, 30));
    EXPECT_TRUE(*result);
    EXPECT_GE(clock.elapsed(), 3000);
    // the 50 ms timer kept firing through the three seconds
    EXPECT_GE(turns, 40);
}

TEST_F(ModelMountTest, OneVaultsOperationsRunOneAfterAnotherOthersInParallel) {
    start();
    auto a = add("A");
    auto b = add("B");
    ASSERT_TRUE(await([&](auto done) { model->lock(a, false, done); }));
    ASSERT_TRUE(await([&](auto done) { model->lock(b, false, done); }));
    // A's unlock waits inside the tool until B's has started: only lanes
    // that run side by side get past this.
    std::atomic<bool> bStarted{false}, aSawB{false};
    driver->onAttach([&](const fs::path& mountPoint) {
        if (mountPoint == b->mountPoint()) {
            bStarted = true;
            return;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!bStarted && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        aSawB = bStarted.load();
    });
    std::vector<std::string> order;
    model->unlock(a, qPassword,
                  [&](bool ok) { order.push_back(std::string("unlock A ") + (ok ? "ok" : "failed")); });
    model->lock(a, false, [&](bool ok) { order.push_back(std::string("lock A ") + (ok ? "ok" : "failed")); });
    model->unlock(b, qPassword,
                  [&](bool ok) { order.push_back(std::string("unlock B ") + (ok ? "ok" : "failed")); });
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }, 60));
    driver->onAttach({});
    EXPECT_TRUE(aSawB);
    // A's lock waited for A's unlock
    const auto unlockA = std::find(order.begin(), order.end(), "unlock A ok");
    const auto lockA = std::find(order.begin(), order.end(), "lock A ok");
    ASSERT_NE(unlockA, order.end());
    ASSERT_NE(lockA, order.end());
    EXPECT_LT(unlockA, lockA);
    EXPECT_NE(std::find(order.begin(), order.end(), "unlock B ok"), order.end());
    EXPECT_FALSE(a->isUnlocked());
    EXPECT_TRUE(b->isUnlocked());
    EXPECT_TRUE(model->working().empty());
}

// ---- Password change --------------------------------------------------------------

TEST_F(ModelMountTest, ChangePasswordLocksChangesAndUnlocksAgain) {
    start();
    auto v = add("Docs");
    // the lock fails: nothing else is tried
    driver->setBusy(v->mountPoint().string(), std::vector<std::string>{"editor"});
    EXPECT_FALSE(await([&](auto done) { model->changePassword(v, qPassword, "another secret 2", done); }));
    EXPECT_EQ(driver->passwordChanges, 0);
    ASSERT_TRUE(model->busyPrompt());
    EXPECT_TRUE(v->isUnlocked());
    driver->clearBusy();
    model->setBusyPrompt(std::nullopt);

    // a mistyped old password or a weak new one: refused before the lock
    const int detaches = driver->plainDetaches;
    for (const auto& [oldText, newText, key] :
         {std::tuple{QString("not the password"), QString("another secret 2"), "err.wrongPassword"},
          std::tuple{qPassword, QString("short"), "err.weakPassword"}}) {
        model->setMessage(std::nullopt);
        EXPECT_FALSE(await([&](auto done) { model->changePassword(v, oldText, newText, done); }));
        EXPECT_TRUE(v->isUnlocked());
        ASSERT_TRUE(model->message());
        EXPECT_EQ(model->message()->text, kx(key));
    }
    EXPECT_EQ(driver->plainDetaches, detaches);
    EXPECT_EQ(driver->passwordChanges, 0);

    // the change itself fails: unlocked again with the old password
    driver->failPasswordChange = true;
    model->setMessage(std::nullopt);
    EXPECT_FALSE(await([&](auto done) { model->changePassword(v, qPassword, "another secret 2", done); }));
    driver->failPasswordChange = false;
    EXPECT_EQ(driver->passwordChanges, 1);
    EXPECT_TRUE(v->isUnlocked());
    ASSERT_TRUE(model->message());
    EXPECT_TRUE(model->message()->isError);
    EXPECT_EQ(model->message()->text, kx("err.system", "passwd", "refused"));
    model->setMessage(std::nullopt);

    // success: the banner, and unlocked with the new password
    EXPECT_TRUE(await([&](auto done) { model->changePassword(v, qPassword, "another secret 2", done); }));
    ASSERT_TRUE(model->message());
    EXPECT_EQ(model->message()->text, kx("ok.passwordChanged"));
    EXPECT_FALSE(model->message()->isError);
    EXPECT_TRUE(v->isUnlocked());
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_FALSE(await([&](auto done) { model->unlock(v, qPassword, done); }));
    EXPECT_TRUE(await([&](auto done) { model->unlock(v, "another secret 2", done); }));
}

TEST_F(ModelMountTest, ChangePasswordOfALockedVaultLeavesItLocked) {
    start();
    auto v = add("Docs");
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_TRUE(await([&](auto done) { model->changePassword(v, qPassword, "another secret 2", done); }));
    EXPECT_FALSE(v->isUnlocked());
    EXPECT_EQ(driver->passwordChanges, 1);
}

// ---- Quick unlock -------------------------------------------------------------------

// A software key whose prompt stays up until the test answers it.
class HeldPromptProvider final : public vaultkit::QuickUnlockInterface {
public:
    bool isAvailable() override { return keys.isAvailable(); }
    AuthOutcome authenticate(const std::string& reason) override {
        shown.set_value(reason);
        answer.get_future().wait();
        return keys.authenticate(reason);
    }
    std::optional<vaultkit::Sealing::Agree> loadKey(const std::vector<std::uint8_t>& handle,
                                                    const vaultkit::QuickUnlockContext& context) override {
        return keys.loadKey(handle, context);
    }
    CreatedKey createKey() override { return keys.createKey(); }

    vaulttest::SoftwareQuickUnlock keys;
    std::promise<std::string> shown;
    std::promise<void> answer;
};

TEST_F(ModelMountTest, QuickUnlockSaysWhatTheSystemPromptIsForWhileItIsUp) {
    auto provider = std::make_shared<HeldPromptProvider>();
    vaultkit::QuickUnlockKey::setProvider(provider);
    struct Restore {
        ~Restore() { vaultkit::QuickUnlockKey::setProvider(nullptr); }
    } restore;
    start();
    auto v = add("Docs");
    ASSERT_TRUE(await([&](auto done) { model->enableTouchID(v, qPassword, done); }));
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));

    std::optional<bool> result;
    model->unlockWithTouchID(v, [&](bool ok) { result = ok; });
    auto shown = provider->shown.get_future();
    ASSERT_TRUE(
        spinUntil([&] { return shown.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30));
    const QString reason = kx("touchid.reason", "Docs");
    EXPECT_EQ(shown.get(), reason.toStdString());
    ASSERT_TRUE(model->working().contains(v->config().id));
    EXPECT_EQ(model->working().at(v->config().id), reason)
        << "the window shows the reason while the prompt is up";

    provider->answer.set_value();
    ASSERT_TRUE(spinUntil([&] { return result.has_value(); }, 60));
    EXPECT_TRUE(*result);
    EXPECT_TRUE(v->isUnlocked());
    EXPECT_FALSE(model->working().contains(v->config().id));
}

// ---- Import -----------------------------------------------------------------------

TEST_F(ModelMountTest, ImportPublishesProgressAndTheResults) {
    start();
    auto v = add("Docs");
    const fs::path src = tmp / "outside";
    fs::create_directories(src / "sub");
    vaulttest::writeFile(src / "sub" / "a.txt", std::string(200'000, 'a'));
    vaulttest::writeFile(tmp / "b.txt", "b");
    std::vector<QString> texts;
    std::vector<double> fractions;
    QObject::connect(model.get(), &AppModel::changed, [&] {
        auto it = model->working().find(v->config().id);
        if (it != model->working().end() && (texts.empty() || texts.back() != it->second))
            texts.push_back(it->second);
        auto p = model->importProgress().find(v->config().id);
        if (p != model->importProgress().end()) fractions.push_back(p->second);
    });
    EXPECT_TRUE(await([&](auto done) {
        model->importItems(v,
                           {QUrl::fromLocalFile(QString::fromStdString(src.string())),
                            QUrl::fromLocalFile(QString::fromStdString((tmp / "b.txt").string()))},
                           done);
    }));
    ASSERT_TRUE(model->importResults());
    ASSERT_EQ(model->importResults()->results.size(), 2u);
    EXPECT_TRUE(model->importResults()->results[0].ok());
    EXPECT_TRUE(fs::exists(v->mountPoint() / "outside" / "sub" / "a.txt"));
    EXPECT_NE(std::find(texts.begin(), texts.end(), kx("work.importingItem", "outside")), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), kx("work.importingItem", "b.txt")), texts.end());
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_TRUE(model->importProgress().empty());
    EXPECT_TRUE(model->working().empty());

    // a locked vault: the runner's banner alone, no result sheet
    model->setImportResults(std::nullopt);
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_FALSE(await([&](auto done) {
        model->importItems(v, {QUrl::fromLocalFile(QString::fromStdString((tmp / "b.txt").string()))}, done);
    }));
    EXPECT_FALSE(model->importResults());
    ASSERT_TRUE(model->message());
    EXPECT_TRUE(model->message()->isError);
}

// ---- Quit ---------------------------------------------------------------------------

class ScriptedAlert final : public BusyAlert {
public:
    void ask(const QString& title, const QString& body, const QStringList& texts,
             std::function<void(Answer)> answer) override {
        titles << title;
        bodies << body;
        buttons = texts;
        answer(answers.empty() ? Answer::cancel : answers.front());
        if (!answers.empty()) answers.erase(answers.begin());
    }
    std::vector<Answer> answers;
    QStringList titles, bodies, buttons;
};

TEST_F(ModelMountTest, QuitWithTheSettingAbsentLocksEveryUnlockedVault) {
    start();
    auto a = add("A");
    auto b = add("B");
    auto c = add("C");
    ASSERT_TRUE(await([&](auto done) { model->lock(b, false, done); }));
    AppDelegate::model = model.get();
    AppDelegate delegate;
    delegate.setSettingsFile(settingsFile);
    EXPECT_FALSE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    std::optional<bool> reply;
    ASSERT_EQ(delegate.applicationShouldTerminate([&](bool quit) { reply = quit; }),
              AppDelegate::TerminateReply::later);
    ASSERT_TRUE(spinUntil([&] { return reply.has_value(); }, 60));
    EXPECT_TRUE(*reply);
    EXPECT_FALSE(a->isUnlocked());
    EXPECT_FALSE(c->isUnlocked());
    EXPECT_TRUE(spinUntil([&] { return modeOf(a->mountPoint()) == 0555; }, 10));
}

TEST_F(ModelMountTest, QuitWithTheSettingFalseQuitsAtOnce) {
    start();
    auto a = add("A");
    kxcore::Settings(settingsFile).setLockOnQuit(false);
    AppDelegate::model = model.get();
    AppDelegate delegate;
    delegate.setSettingsFile(settingsFile);
    bool replied = false;
    EXPECT_EQ(delegate.applicationShouldTerminate([&](bool) { replied = true; }),
              AppDelegate::TerminateReply::now);
    spinFor(300);
    EXPECT_FALSE(replied);
    EXPECT_TRUE(a->isUnlocked());
    // anything but a boolean counts as true
    kxcore::Settings(settingsFile).setRaw(kxcore::Settings::lockOnQuitKey, "maybe");
    std::optional<bool> reply;
    EXPECT_EQ(delegate.applicationShouldTerminate([&](bool quit) { reply = quit; }),
              AppDelegate::TerminateReply::later);
    ASSERT_TRUE(spinUntil([&] { return reply.has_value(); }, 60));
    EXPECT_FALSE(a->isUnlocked());
}

TEST_F(ModelMountTest, TheBusyAlertsButtonsForceKeepAndCancel) {
    start();
    auto first = add("First");
    auto forced = add("Forced");
    auto kept = add("Kept");
    auto stop = add("Stop");
    auto after = add("After");
    for (const auto& v : {forced, kept, stop})
        driver->setBusy(v->mountPoint().string(), std::vector<std::string>{"vim", "less"});
    ScriptedAlert alert;
    alert.answers = {BusyAlert::Answer::force, BusyAlert::Answer::keep, BusyAlert::Answer::cancel};
    AppDelegate::model = model.get();
    AppDelegate delegate;
    delegate.setSettingsFile(settingsFile);
    delegate.setBusyAlert(&alert);
    std::optional<bool> reply;
    int replies = 0;
    ASSERT_EQ(delegate.applicationShouldTerminate([&](bool quit) {
        reply = quit;
        ++replies;
    }),
              AppDelegate::TerminateReply::later);
    ASSERT_TRUE(spinUntil([&] { return reply.has_value(); }, 90));
    EXPECT_FALSE(*reply); // cancelled: the application keeps running
    spinFor(200);
    EXPECT_EQ(replies, 1);
    EXPECT_FALSE(delegate.isQuitPending());
    EXPECT_FALSE(first->isUnlocked()); // locked before the cancel, stays locked
    EXPECT_FALSE(forced->isUnlocked());
    EXPECT_TRUE(kept->isUnlocked());
    EXPECT_TRUE(stop->isUnlocked());
    EXPECT_TRUE(after->isUnlocked()); // never reached
    EXPECT_EQ(driver->forcedDetaches, 1);
    ASSERT_EQ(alert.titles.size(), 3);
    EXPECT_EQ(alert.titles[0], kx("quit.busy.title", "Forced"));
    EXPECT_EQ(alert.bodies[0], kx("quit.busy.body", "vim, less"));
    EXPECT_EQ(alert.buttons, (QStringList{kx("quit.busy.force"), kx("quit.busy.keep"), kx("common.cancel")}));
}

TEST_F(ModelMountTest, TerminationLocksWithoutAskingAndLeavesABusyVolume) {
    start();
    auto a = add("A");
    auto busy = add("Busy");
    driver->setBusy(busy->mountPoint().string(), std::vector<std::string>{"vim"});
    ScriptedAlert alert;
    AppDelegate::model = model.get();
    AppDelegate delegate;
    delegate.setSettingsFile(settingsFile);
    delegate.setBusyAlert(&alert);
    LogLines log;
    std::optional<int> exited;
    delegate.installTerminationHandling([&](int status) { exited = status; });
    ::raise(SIGHUP);
    ASSERT_TRUE(spinUntil([&] { return exited.has_value(); }, 60));
    EXPECT_EQ(*exited, 0);
    EXPECT_FALSE(a->isUnlocked());
    EXPECT_TRUE(busy->isUnlocked());
    EXPECT_TRUE(alert.titles.isEmpty());
    EXPECT_EQ(driver->forcedDetaches, 0);
    EXPECT_EQ(log.matching("lock on quit: " + busy->name() + " is in use by [vim] and stays unlocked").size(),
              1u);
}

// ---- The refresh tick ---------------------------------------------------------

TEST_F(ModelMountTest, TheTickReadsTheMountStateOnceForAllVaultsAndSeesChangesMadeByHand) {
    start();
    auto a = add("A");
    auto b = add("B");
    auto c = add("C");
    ASSERT_TRUE(await([&](auto done) { model->lock(b, false, done); }));
    ASSERT_TRUE(await([&](auto done) { model->lock(c, false, done); }));

    // one look at the mount state answers every vault, however often the
    // windows ask within a tick
    model->bump();
    driver->mountStateReads = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(model->isUnlocked(a));
        EXPECT_FALSE(model->isUnlocked(b));
        EXPECT_FALSE(model->isUnlocked(c));
        EXPECT_TRUE(model->autoLocking().wantsSleepDelay());
    }
    EXPECT_EQ(driver->mountStateReads.load(), 1);

    // A locked by hand, B unlocked by hand (as README.txt tells a person):
    // the refresh tick shows both without any action of the model
    auto r = vaultkit::Exec::runSync("/usr/bin/fusermount3", {"-u", "--", a->mountPoint().string()},
                                     std::nullopt, 60);
    ASSERT_EQ(r.status, 0) << r.stderrText;
    fs::permissions(b->mountPoint(), fs::perms::owner_write, fs::perm_options::add);
    const std::string line = kPassword + "\n";
    r = vaultkit::Exec::runSync("/usr/bin/gocryptfs",
                                {"-q", "-nonempty", "--", b->image().string(), b->mountPoint().string()},
                                vaultkit::Bytes(line.begin(), line.end()), 60);
    ASSERT_EQ(r.status, 0) << r.stderrText;
    EXPECT_TRUE(spinUntil([&] { return !model->isUnlocked(a) && model->isUnlocked(b); }, 5));
    EXPECT_FALSE(model->isUnlocked(c));

    // a vault the model does not list is asked directly
    auto stranger = Vault::open(c->dir(), driver);
    EXPECT_FALSE(model->isUnlocked(stranger));
    EXPECT_FALSE(model->isUnlocked(nullptr));
    // a forgotten vault's state is not kept: the next answer is read afresh
    model->forget(b);
    EXPECT_TRUE(model->isUnlocked(b));
    ASSERT_TRUE(await([&](auto done) { model->lock(b, true, done); }));
    EXPECT_FALSE(model->isUnlocked(b));
}


// ---- The log keeps no secrets ----------------------------------------------------

// Every flow that handles a password or the phrase, each also failing, with
// the log written to its file: neither the file nor the system log may hold
// a password (right or mistyped), the phrase or two of its words in a row,
// or a sealed copy or key handle of the record in any of its encodings.
TEST_F(ModelMountTest, NoPasswordPhraseOrSealedBoxEverReachesTheLog) {
    auto provider = std::make_shared<vaulttest::SoftwareQuickUnlock>();
    vaultkit::QuickUnlockKey::setProvider(provider);
    struct Restore {
        ~Restore() { vaultkit::QuickUnlockKey::setProvider(nullptr); }
    } restore;
    const fs::path logFile = tmp / "logs" / "app.log";
    fs::create_directories(logFile.parent_path());
    kxcore::Log::shared().configure(logFile);
    LogLines systemLog;
    start();

    const QString typo = "correct horse 2", second = "second secret 22", third = "third secret 333",
                  weak = "short7";
    std::set<std::string> secrets = {kPassword, typo.toStdString(), second.toStdString(), third.toStdString(),
                                     weak.toStdString()};
    std::vector<std::string> phrases;
    auto sealed = [&](const VaultConfig& c) {
        auto add = [&](const std::vector<std::uint8_t>& bytes) {
            const QByteArray raw(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
            for (const QByteArray& text : {raw.toBase64(), raw.toBase64(QByteArray::Base64UrlEncoding),
                                           raw.toHex(), raw.toHex().toUpper()})
                secrets.insert(text.left(24).toStdString()); // a part is enough to be found
        };
        for (const auto& b : c.recoveryBlobs) add(b.box);
        if (c.touchID) {
            add(c.touchID->handle);
            for (const auto& b : c.touchID->blobs) add(b.box);
        }
    };

    const vaultkit::Mnemonic mnemonic = vaultkit::Mnemonic::generate();
    phrases.push_back(mnemonic.phrase());
    auto v = Vault::create(tmp.path(), "Secrets", kPassword, mnemonic, {}, driver);
    model->registerVault(v);
    sealed(v->config());

    // unlock: mistyped, then right
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_FALSE(await([&](auto done) { model->unlock(v, typo, done); }));
    EXPECT_TRUE(await([&](auto done) { model->unlock(v, qPassword, done); }));
    // change: wrong old password, weak new one, the tool failing, then done
    EXPECT_FALSE(await([&](auto done) { model->changePassword(v, typo, second, done); }));
    EXPECT_FALSE(await([&](auto done) { model->changePassword(v, qPassword, weak, done); }));
    driver->failPasswordChange = true;
    EXPECT_FALSE(await([&](auto done) { model->changePassword(v, qPassword, second, done); }));
    driver->failPasswordChange = false;
    EXPECT_TRUE(await([&](auto done) { model->changePassword(v, qPassword, second, done); }));
    sealed(v->config());
    // recovery: another vault's phrase, a phrase with a word not in the list, then the right one
    const vaultkit::Mnemonic stranger = vaultkit::Mnemonic::generate();
    phrases.push_back(stranger.phrase());
    EXPECT_FALSE(await([&](auto done) { model->recover(v, QString::fromStdString(stranger.phrase()), third, done); }));
    const std::string misspelt = mnemonic.phrase() + "x";
    secrets.insert(misspelt);
    EXPECT_FALSE(await([&](auto done) { model->recover(v, QString::fromStdString(misspelt), third, done); }));
    EXPECT_TRUE(await([&](auto done) { model->recover(v, QString::fromStdString(mnemonic.phrase()), third, done); }));
    sealed(v->config());
    // biometric unlock: enabling with a wrong password, then right, and unlocking with it
    EXPECT_FALSE(await([&](auto done) { model->enableTouchID(v, typo, done); }));
    EXPECT_TRUE(await([&](auto done) { model->enableTouchID(v, third, done); }));
    sealed(v->config());
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_TRUE(await([&](auto done) { model->unlockWithTouchID(v, done); }));
    // a new phrase: wrong password, then right
    EXPECT_FALSE(await([&](auto done) { model->regenerateMnemonic(v, typo, done); }));
    EXPECT_TRUE(await([&](auto done) { model->regenerateMnemonic(v, third, done); }));
    ASSERT_TRUE(model->shownMnemonic());
    phrases.push_back(model->shownMnemonic()->mnemonic.phrase());
    sealed(v->config());
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));

    for (const auto& phrase : phrases) {
        secrets.insert(phrase);
        const auto words = vaultkit::Mnemonic(phrase).words();
        for (std::size_t i = 0; i + 1 < words.size(); ++i)
            secrets.insert(words[i] + " " + words[i + 1]);
    }
    kxcore::Log::shared().flush();
    std::string text = vaulttest::readFile(logFile);
    const std::size_t fileBytes = text.size();
    for (const auto& line : systemLog.all())
        text += line + "\n";
    EXPECT_GT(fileBytes, 0u) << "the failures above were logged";
    EXPECT_FALSE(systemLog.all().empty()) << "and reached the system log";
    for (const auto& secret : secrets)
        EXPECT_EQ(text.find(secret), std::string::npos) << "the log holds \"" << secret << "\":\n" << text;
}

} // namespace
