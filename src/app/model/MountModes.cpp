#include "app/model/MountModes.h"

#include "app/model/AppModel.h"

#include "kxstrings/KXStrings.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/vault/Vault.h"

#include <span>

using vaultkit::MountModePolicy;

MountModes::MountModes(AppModel& model)
    : model_(model) {}

void MountModes::forget(const vaultkit::Vault* vault) {
    modes_.erase(vault);
    syncCoverage_.erase(vault);
}

MountModePolicy::Decision MountModes::mountMode(const VaultPtr& vault) const {
    if (!vault) return {};
    const auto known = modes_.find(vault.get());
    if (known != modes_.end()) return known->second;
    // Reads the vault settings and looks at the vault's folder and its
    // ancestors (the mount table first: a folder on a network mount is
    // never looked at). Once per vault, not on every tick.
    const auto decision = vault->mountModeDecision();
    modes_[vault.get()] = decision;
    return decision;
}

void MountModes::setMountModeChoice(const VaultPtr& vault, MountModePolicy::Choice choice) {
    if (!vault) return;
    try {
        vault->setMountModeChoice(choice);
    } catch (const std::exception& e) {
        model_.setMessage(Banner(describe(e), true));
    }
    modes_.erase(vault.get());
    model_.announce();
}

QStringList MountModes::syncCoverage(const VaultPtr& vault) const {
    if (!vault) return {};
    // Looked at again when the vault is locked or unlocked (the unlock
    // writes what was missing).
    const auto state = model_.mountState(vault);
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
        lines << QString::fromStdString(
            KXStrings::text(line.key, std::span<const KXFormat::Arg>(args.data(), args.size())));
    }
    syncCoverage_[vault.get()] = {state, lines};
    return lines;
}

std::optional<std::string> MountModes::keepSyncClientsOut(const vaultkit::Vault& vault) {
    try {
        vaultkit::SyncExclusion::apply(vault.mountPoint());
        return std::nullopt;
    } catch (const std::exception& e) {
        return "cannot keep sync clients out of " + vault.mountPoint().string() + ": " + e.what();
    }
}
