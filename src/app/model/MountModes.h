#pragma once

#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/mountmode/MountModePolicy.h"

#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

class AppModel;
namespace vaultkit {
class Vault;
}

// How each vault is mounted and why, and which sync clients cover its
// visible folder, as the pane shows them. Both are looked up once per vault
// and kept: the look at the vault's folder and its ancestors stays off the
// refresh tick.
class MountModes {
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    explicit MountModes(AppModel& model);

    // How the vault's next unlock mounts it and why (the user's choice and
    // what the folder suggests), kept until the choice changes. The folder of
    // a vault on a network mount is never looked at (the mount table tells).
    vaultkit::MountModePolicy::Decision mountMode(const VaultPtr& vault) const;
    // Stores the choice in this computer's vault settings; it takes effect at
    // the next unlock. A failure is an error banner.
    void setMountModeChoice(const VaultPtr& vault, vaultkit::MountModePolicy::Choice choice);
    // Which sync clients cover the vault's visible folder and whether each
    // leaves it out (SyncExclusion::inspect), as texts for the pane; where it
    // is open first when that is outside the synced folder. Looked up again
    // when it is locked or unlocked or its look is applied (the lane writes
    // the exclusions before both).
    QStringList syncCoverage(const VaultPtr& vault) const;
    void dropCoverage(const vaultkit::Vault* vault) { syncCoverage_.erase(vault); }
    // What is kept of a vault that is forgotten.
    void forget(const vaultkit::Vault* vault);
    // Writes those exclusions (SyncExclusion::apply); the error's text when
    // one cannot be written. Blocks: on the vault's lane.
    static std::optional<std::string> keepSyncClientsOut(const vaultkit::Vault& vault);

private:
    AppModel& model_;
    mutable std::map<const vaultkit::Vault*, vaultkit::MountModePolicy::Decision> modes_;
    mutable std::map<const vaultkit::Vault*, std::pair<vaultkit::DiskImage::MountState, QStringList>>
        syncCoverage_;
};
