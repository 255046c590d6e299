#pragma once

#include "vaultkit/diskimage/GocryptfsConflicts.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vaultkit {

// Runs GocryptfsConflicts for one mounted image on a thread of its own: over
// everything at start, then whenever the image folder changes (inotify on
// every folder of it), a moment after the changes settle (a sync client
// writes a batch), over the folders that changed (and all below a folder
// that came new).
//
// `found` is called on that thread with each pass that made something
// visible; `log` with every line of the passes (renames, copies left alone,
// a control socket that does not answer). Neither is called once the
// watcher is destroyed (the destructor waits for a call in progress). The
// destructor does not wait for a pass in progress: a pass that hangs on a
// stopped daemon ends on its own, its thread never calls back.
class GocryptfsConflictWatcher {
public:
    using Found = std::function<void(const GocryptfsConflicts::Result&)>;

    // How long the folder must stay quiet before a pass, and the longest a
    // pass waits for quiet while changes keep coming (milliseconds).
    static constexpr int settleMs = 250;
    static constexpr int maxWaitMs = 1000;

    GocryptfsConflictWatcher(std::filesystem::path image, std::filesystem::path mountPoint,
                             std::filesystem::path controlSocket, GocryptfsConflicts::Log log, Found found);
    ~GocryptfsConflictWatcher();
    GocryptfsConflictWatcher(const GocryptfsConflictWatcher&) = delete;
    GocryptfsConflictWatcher& operator=(const GocryptfsConflictWatcher&) = delete;

    const std::filesystem::path& image() const;

    struct Shared; // what the thread shares with the object

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace vaultkit
