#pragma once

// The fixture of the vault pane's card tests: a model in a temporary folder
// whose vaults sit on an in-memory disk driver (nothing is mounted; the
// mount-table answers come from the driver).

#include "app/model/AppModel.h"
#include "support/MemoryDiskImage.h"
#include "support/Spin.h"
#include "vaultkit/vault/Vault.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace uitest {

class PaneTest : public ::testing::Test {
protected:
    static constexpr const char* rightPassword = "right password";

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        driver = std::make_shared<uitest::MemoryDiskImage>(rightPassword);
        model = std::make_unique<AppModel>(dir.filePath(QStringLiteral("support")));
    }
    void TearDown() override { vaultkit::Vault::setPreferencesDirectory(std::nullopt); }

    // A vault registered with the model, in `parent` below the test folder.
    std::shared_ptr<vaultkit::Vault> addVault(const std::string& name, const std::string& parent = "vaults") {
        const std::filesystem::path folder = std::filesystem::path(dir.path().toStdString()) / parent;
        vaultkit::VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        const std::filesystem::path vaultDir = folder / ("." + name + ".hushcoffer");
        std::filesystem::create_directories(vaultDir);
        auto vault = std::make_shared<vaultkit::Vault>(vaultDir, config, driver);
        model->registerVault(vault);
        return vault;
    }
    bool run(const std::function<void(AppModel::Done)>& action) {
        std::optional<bool> result;
        action([&](bool ok) { result = ok; });
        return uitest::spinUntil([&] { return result.has_value(); }) && *result;
    }
    bool unlockNow(const std::shared_ptr<vaultkit::Vault>& v) {
        return run([&](AppModel::Done done) { model->unlock(v, QString::fromLatin1(rightPassword), done); });
    }
    bool lockNow(const std::shared_ptr<vaultkit::Vault>& v) {
        return run([&](AppModel::Done done) { model->lock(v, false, done); });
    }

    QTemporaryDir dir;
    std::shared_ptr<uitest::MemoryDiskImage> driver;
    std::unique_ptr<AppModel> model;
};

} // namespace uitest
