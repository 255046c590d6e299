#pragma once

// The fixture of the window's tests and of the tests of the tray, the
// self-test and the single instance beside it: a model in a temporary folder
// whose vaults sit on an in-memory disk driver (nothing is mounted; the
// mount-table answers come from the driver), and a sheet presenter that
// records which sheet was asked for.

#include "app/model/AppModel.h"
#include "app/sheets/SheetPresenter.h"
#include "support/MemoryDiskImage.h"
#include "support/Spin.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"

#include <QDialog>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace uitest {

// What the window asked the sheet presenter for.
struct SheetLog {
    int creates = 0;
    std::vector<std::pair<std::string, std::string>> opened; // sheet, vault name
    std::vector<QString> promptTitles;
};

class WindowTest : public ::testing::Test {
protected:
    static constexpr const char* rightPassword = "right password";

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        // the settings go to the test's folder; the tests after it get the
        // folder they had (TearDown)
        previousConfigHome_ = qgetenv("XDG_CONFIG_HOME");
        hadConfigHome_ = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("config"))));
        qunsetenv("HC_DEMO");
        support_ = dir_.filePath(QStringLiteral("support"));
        driver_ = std::make_shared<uitest::MemoryDiskImage>(rightPassword);
        previousHooks_ = SheetPresenter::hooks();
        auto& h = SheetPresenter::hooks();
        h = {};
        h.create = [this](AppModel*, QWidget* parent) -> QDialog* {
            ++sheets_.creates;
            return new QDialog(parent);
        };
        h.recover = [this](AppModel*, SheetPresenter::VaultPtr vault, QWidget* parent) -> QDialog* {
            sheets_.opened.emplace_back("recover", vault->config().name);
            return new QDialog(parent);
        };
        h.changePassword = [this](AppModel*, SheetPresenter::VaultPtr vault, QWidget* parent) -> QDialog* {
            sheets_.opened.emplace_back("changePassword", vault->config().name);
            return new QDialog(parent);
        };
        h.passwordPrompt = [this](const QString& title, const QString&, SheetPresenter::PasswordAction,
                                  QWidget* parent) -> QDialog* {
            sheets_.promptTitles.push_back(title);
            return new QDialog(parent);
        };
    }

    void TearDown() override {
        SheetPresenter::hooks() = previousHooks_;
        vaultkit::QuickUnlockKey::setProvider(nullptr);
        qunsetenv("HC_DEMO");
        if (hadConfigHome_)
            qputenv("XDG_CONFIG_HOME", previousConfigHome_);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }

    AppModel& model() {
        if (!model_) model_ = std::make_unique<AppModel>(support_);
        return *model_;
    }

    // A vault named `name` on the in-memory driver, registered with the model.
    std::shared_ptr<vaultkit::Vault> addVault(const std::string& name, bool touchID = false) {
        const std::filesystem::path parent = std::filesystem::path(dir_.path().toStdString()) / "vaults";
        std::filesystem::create_directories(parent);
        vaultkit::VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        if (touchID) config.touchID = vaultkit::VaultConfig::QuickUnlockConfig{};
        const std::filesystem::path vaultDir = parent / ("." + name + ".hushcoffer");
        std::filesystem::create_directories(vaultDir);
        auto vault = std::make_shared<vaultkit::Vault>(vaultDir, config, driver_);
        model().registerVault(vault);
        return vault;
    }

    bool unlockNow(const std::shared_ptr<vaultkit::Vault>& vault) {
        std::optional<bool> result;
        model().unlock(vault, QString::fromLatin1(rightPassword), [&](bool ok) { result = ok; });
        return spinUntil([&] { return result.has_value(); }) && *result;
    }

    QTemporaryDir dir_;
    QString support_;
    std::shared_ptr<uitest::MemoryDiskImage> driver_;
    std::unique_ptr<AppModel> model_;
    SheetLog sheets_;
    SheetPresenter::Hooks previousHooks_;
    QByteArray previousConfigHome_;
    bool hadConfigHome_ = false;
};

} // namespace uitest
