#pragma once

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/record/Uuid.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vaultkit {
class Vault;
}

// The values the model publishes for the windows. Each carries a fresh
// random id made when the value is built, so a view can tell a new banner or
// prompt from an equal-looking earlier one.

// A success or error message shown over the detail pane.
struct Banner {
    explicit Banner(QString text_, bool isError_ = false)
        : id(vaultkit::Uuid::random())
        , text(std::move(text_))
        , isError(isError_) {}
    vaultkit::Uuid id;
    QString text; // already localised
    bool isError = false;
    // A message that says this vault is unlocked ("created, unlocked and
    // ready"): it goes when the vault is no longer unlocked, however it locked.
    std::optional<vaultkit::Uuid> whileUnlocked;
};

// A lock failed because programs still use the volume.
struct BusyPrompt {
    BusyPrompt(std::shared_ptr<vaultkit::Vault> vault_, QStringList processes_)
        : id(vaultkit::Uuid::random())
        , vault(std::move(vault_))
        , processes(std::move(processes_)) {}
    vaultkit::Uuid id;
    std::shared_ptr<vaultkit::Vault> vault;
    QStringList processes; // may be empty
    // Always empty when the model builds the prompt.
    std::function<void()> then;
};

// The outcome of one import, for the result sheet.
struct ImportBatch {
    explicit ImportBatch(std::vector<vaultkit::Importer::Result> results_)
        : id(vaultkit::Uuid::random())
        , results(std::move(results_)) {}
    vaultkit::Uuid id;
    std::vector<vaultkit::Importer::Result> results;
};

// A recovery phrase just made, for the phrase sheet.
struct ShownMnemonic {
    ShownMnemonic(QString vaultName_, vaultkit::Mnemonic mnemonic_)
        : id(vaultkit::Uuid::random())
        , vaultName(std::move(vaultName_))
        , mnemonic(std::move(mnemonic_)) {}
    vaultkit::Uuid id;
    QString vaultName;
    vaultkit::Mnemonic mnemonic;
};

// The outcome of a check of a vault's encrypted data, for the result sheet.
struct DataCheckReport {
    DataCheckReport(QString vaultName_, QStringList damaged_, int damagedCount_)
        : id(vaultkit::Uuid::random())
        , vaultName(std::move(vaultName_))
        , damaged(std::move(damaged_))
        , damagedCount(damagedCount_) {}
    vaultkit::Uuid id;
    QString vaultName;
    // Paths inside the vault, as the check named them.
    QStringList damaged;
    // At least damaged.size(); 0: everything is whole.
    int damagedCount = 0;
    // What sync clients left that is no damage: conflict copies not shown
    // yet, and their temporary files (paths inside the vault where known).
    QStringList conflictCopies;
    QStringList syncTemporaries;
};
