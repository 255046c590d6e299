// "When the computer goes to sleep" where nothing announces sleep (logind
// does not answer): the choice is shown off, cannot be made, and a note says
// it cannot work here; the stored choice stays for a computer where it can.
#include "app/desktop/SleepSource.h"
#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "vaultkit/vault/Vault.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class TestSleep final : public SleepSource {
public:
    explicit TestSleep(bool answers)
        : answers_(answers) {}
    void setDelayWanted(bool) override {}
    void sleepPassDone() override {}
    bool reachable() const override { return answers_; }
    void stopAnswering() {
        answers_ = false;
        emit reachableChanged();
    }

private:
    bool answers_;
};

TEST(AutoLockCard, TheSleepChoiceIsOffAndSaysWhyWhenNothingAnnouncesSleep) {
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "logind answers" : "logind does not answer");
        QTemporaryDir tmp;
        ASSERT_TRUE(tmp.isValid());
        EventSources sources;
        auto sleep = std::make_unique<TestSleep>(answers);
        TestSleep* source = sleep.get();
        sources.sleep = std::move(sleep);
        AppModel model(tmp.path() + QStringLiteral("/support"), std::move(sources));
        auto driver = std::make_shared<uitest::MemoryDiskImage>("right password");
        const std::filesystem::path dir = std::filesystem::path(tmp.path().toStdString()) / ".Docs.hushcoffer";
        std::filesystem::create_directories(dir);
        vaultkit::VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = "Docs";
        config.autoLock.onSleep = true;
        auto vault = std::make_shared<vaultkit::Vault>(dir, config, driver);
        model.registerVault(vault);
        std::optional<bool> unlocked;
        model.unlock(vault, QStringLiteral("right password"), [&](bool ok) { unlocked = ok; });
        QElapsedTimer timer;
        timer.start();
        while (!unlocked && timer.elapsed() < 10000)
            QTest::qWait(10);
        ASSERT_EQ(unlocked, std::optional<bool>(true));

        VaultDetail pane(&model, vault);
        pane.show();
        EXPECT_EQ(model.autoLocking().sleepLockAvailable(), answers);
        EXPECT_EQ(uitest::named<QCheckBox>(&pane, "sleepLock")->isEnabled(), answers);
        EXPECT_EQ(uitest::named<QCheckBox>(&pane, "sleepLock")->isChecked(), answers);
        EXPECT_EQ(uitest::named<QLabel>(&pane, "sleepUnavailable")->isVisible(), !answers);
        EXPECT_EQ(uitest::named<QLabel>(&pane, "sleepUnavailable")->text(), kx("autolock.sleepUnavailable"));
        // the stored choice is kept either way
        EXPECT_TRUE(vault->config().autoLock.onSleep);

        if (answers) {
            // learnt later: the pane follows
            source->stopAnswering();
            QApplication::processEvents();
            EXPECT_FALSE(uitest::named<QCheckBox>(&pane, "sleepLock")->isEnabled());
            EXPECT_FALSE(uitest::named<QCheckBox>(&pane, "sleepLock")->isChecked());
            EXPECT_TRUE(uitest::named<QLabel>(&pane, "sleepUnavailable")->isVisible());
            EXPECT_TRUE(vault->config().autoLock.onSleep);
        }
    }
}

} // namespace
