// The mount mode of each vault: AppModel's part that tells how a vault is
// mounted and keeps the user's choice.
#include "app/model/AppModel.h"

#include "vaultkit/vault/Vault.h"

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
