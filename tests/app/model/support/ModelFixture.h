#pragma once

// The model's fixture without mounts: a temporary support folder and home
// (with its Trash), vaults that are records only (never mounted, so locked),
// the registry, and a model on fake event sources.
#include "app/desktop/FolderLook.h"
#include "app/model/AppModel.h"
#include "model/support/ModelTestSupport.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace modeltest {

namespace fs = std::filesystem;
using vaultkit::Vault;
using vaultkit::VaultConfig;

inline std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeAll(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        root = fs::path(tmp.path().toStdString());
        support = root / "support";
        fs::create_directories(support);
        FolderLook::setSupportDirectory(QString::fromStdString(support.string()));
        oldDataHome = qgetenv("XDG_DATA_HOME");
        oldHome = qgetenv("HOME");
        // the home Trash ($XDG_DATA_HOME/Trash) serves files on the home's file system
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root / "share").string()));
        qputenv("HOME", QByteArray::fromStdString(root.string()));
    }
    void TearDown() override {
        model.reset();
        FolderLook::setSupportDirectory({});
        Vault::setBackupDirectory(std::nullopt);
        if (oldDataHome.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", oldDataHome);
        qputenv("HOME", oldHome);
    }

    // A vault directory with a record and an empty visible folder; never
    // mounted, so it counts as locked.
    fs::path makeVault(const std::string& name, VaultConfig::AutoLock autoLock = {}) {
        const fs::path dir = root / ("." + name + ".hushcoffer");
        fs::create_directories(dir);
        fs::create_directories(root / name);
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        config.recoveryPublicKey.assign(32, 1);
        config.autoLock = autoLock;
        vaultkit::ConfigStore::save(config, dir / "vault.json", std::nullopt);
        return dir;
    }
    fs::path registry() const { return support / "vaults.json"; }
    void writeRegistry(const std::vector<fs::path>& dirs) {
        std::vector<std::string> paths;
        for (const auto& d : dirs)
            paths.push_back(d.string());
        vaultkit::Registry::write(registry(), paths);
    }
    AppModel& start() {
        fakes = makeFakeSources();
        model = std::make_unique<AppModel>(QString::fromStdString(support.string()), fakes.take());
        return *model;
    }

    QTemporaryDir tmp;
    fs::path root, support;
    QByteArray oldDataHome, oldHome;
    FakeSources fakes;
    std::unique_ptr<AppModel> model;
};

} // namespace modeltest
