#pragma once

#include "vaultkit/backup/SyncStore.h"

#include <chrono>
#include <string>
#include <vector>

namespace vaultkit {

// A lease on a backup store, kept as an object locks/<kind>-<random>.json
// (the kind, this computer's name, the process id and the time of the last
// renewal). A push holds one while it runs, so that a prune does not remove
// bands the push has found in the store and means to reference; a prune
// holds one while it removes, so that no push starts meanwhile.
//
// A lease whose holder is gone counts no more: one not renewed for `lifetime`
// (a holder on another computer that died), or one of this computer whose
// process no longer exists (a holder that was killed).
class StoreLease {
public:
    static constexpr std::chrono::seconds lifetime{30 * 60};
    // How often a long push renews its lease.
    static constexpr std::chrono::seconds renewal{60};

    StoreLease(SyncStore& store, std::string kind);
    // Removes the lease object (errors are ignored: a lease left behind
    // ends with its process).
    ~StoreLease();
    StoreLease(const StoreLease&) = delete;
    StoreLease& operator=(const StoreLease&) = delete;

    // Writes the object again with the current time when `renewal` has
    // passed since the last write.
    void renewIfDue();

    // The kinds of the other live leases on the store.
    std::vector<std::string> othersAlive() const;

private:
    void write();

    SyncStore& store_;
    std::string kind_;
    std::string key_;
    std::chrono::steady_clock::time_point written_;
};

} // namespace vaultkit
