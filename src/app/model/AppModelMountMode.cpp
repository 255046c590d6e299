// The mount mode of each vault: AppModel's part that tells how a vault is
// mounted and keeps the user's choice.
#include "app/model/AppModel.h"

#include "kxstrings/KXStrings.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/vault/Vault.h"

#include <span>

using vaultkit::MountModePolicy;

MountModePolicy::Decision AppModel::mountMode(const VaultPtr& vault) const {
    if (!vault) return {};
    const auto known = mountModes_.find(vault.get());
    if (known != mountModes_.end()) return known->second;
    // Reads the vault settings and looks at the vault's folder and its
    // ancestors (the mount table first: a folder on a network mount is
    // never looked at). Once per vault, not on every tick.
    const auto decision = vault->mountModeDecision();
    mountModes_[vault.get()] = decision;
    return decision;
}

void AppModel::setMountModeChoice(const VaultPtr& vault, MountModePolicy::Choice choice) {
    if (!vault) return;
    try {
        vault->setMountModeChoice(choice);
    } catch (const std::exception& e) {
        setMessage(Banner(describe(e), true));
    }
    mountModes_.erase(vault.get());
    announce();
}

QStringList AppModel::syncCoverage(const VaultPtr& vault) const {
    if (!vault) return {};
    // Looked at again when the vault is locked or unlocked (the unlock
    // writes what was missing).
    const auto state = mountState(vault);
    const auto known = syncCoverage_.find(vault.get());
    if (known != syncCoverage_.end() && known->second.first == state) return known->second.second;
    QStringList lines;
    const auto result = vaultkit::SyncExclusion::inspect(vault->mountPoint());
    auto explanations = vaultkit::SyncExclusion::explain(result);
    // Open outside the synced folder: where, first.
    if (state != vaultkit::DiskImage::MountState::notMounted)
        if (const auto open = vault->openFolder(); open != vault->mountPoint())
            explanations.insert(explanations.begin(), vaultkit::SyncExclusion::elsewhere(result, open));
    for (const auto& line : explanations) {
        std::vector<KXFormat::Arg> args(line.args.begin(), line.args.end());
        lines << QString::fromStdString(KXStrings::text(line.key, std::span<const KXFormat::Arg>(args.data(), args.size())));
    }
    syncCoverage_[vault.get()] = {state, lines};
    return lines;
}

std::optional<std::string> AppModel::keepSyncClientsOut(const vaultkit::Vault& vault) {
    try {
        vaultkit::SyncExclusion::apply(vault.mountPoint());
        return std::nullopt;
    } catch (const std::exception& e) {
        return "cannot keep sync clients out of " + vault.mountPoint().string() + ": " + e.what();
    }
}
