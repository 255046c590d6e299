#pragma once

// The model's fixture with real vaults: a support folder in a temporary
// folder, vaults created unlocked on a test driver (TestDiskImage over fast
// gocryptfs) and registered, and a model on fake event sources.
#include "app/desktop/FolderLook.h"
#include "app/model/AppModel.h"
#include "app/shell/AppDelegate.h"
#include "model/support/ModelTestSupport.h"
#include "model/support/TestDiskImage.h"
#include "support/TestSupport.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/vault/Vault.h"

#include <QString>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace modeltest {

namespace fs = std::filesystem;
using vaultkit::Vault;
using vaultkit::VaultConfig;
using VaultPtr = AppModel::VaultPtr;

inline const std::string kPassword = "correct horse 1";
inline const QString qPassword = QString::fromStdString(kPassword);

inline int modeOf(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

class ModelMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        driver = std::make_shared<TestDiskImage>(vaulttest::fastGocryptfs());
        settingsFile = QString::fromStdString((tmp / "settings.ini").string());
    }
    void TearDown() override {
        AppDelegate::model = nullptr;
        model.reset();
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
    }

    // A new vault, unlocked, registered with the model.
    VaultPtr add(const std::string& name, std::optional<VaultConfig::AutoLock> autoLock = std::nullopt) {
        auto vault = Vault::create(tmp.path(), name, kPassword, vaultkit::Mnemonic::generate(), {}, driver);
        if (autoLock) vault->setAutoLock(*autoLock);
        model->registerVault(vault);
        return vault;
    }
    void start() {
        fakes = makeFakeSources();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()), fakes.take());
    }
    // Calls an asynchronous action and waits for its outcome.
    bool await(const std::function<void(AppModel::Done)>& action, double seconds = 60) {
        std::optional<bool> result;
        action([&](bool ok) { result = ok; });
        EXPECT_TRUE(spinUntil([&] { return result.has_value(); }, seconds));
        return result.value_or(false);
    }

    vaulttest::TempDir tmp{"hc-model"};
    fs::path support;
    std::shared_ptr<TestDiskImage> driver;
    QString settingsFile;
    FakeSources fakes;
    std::unique_ptr<AppModel> model;
};

} // namespace modeltest
