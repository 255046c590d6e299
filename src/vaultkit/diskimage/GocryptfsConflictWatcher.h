#pragma once

#include "vaultkit/diskimage/GocryptfsConflicts.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vaultkit {

// Runs GocryptfsConflicts for one mounted image on a thread of its own: at
// start over what changed since the last watcher of the image stopped
// (everything when none left its state, see stateFileFor), then over what
// changed, a moment after the changes settle (a sync client writes a batch).
//
// Changes are seen two ways, so that the cost does not grow with the vault:
//  - inotify on at most maxWatches folders of the image folder. A vault with
//    no more folders has every one watched and nothing else runs while it is
//    quiet. In a larger one the top levels (half the budget, breadth first)
//    and the folders that changed last are watched. (An ordinary user's
//    fanotify offers only marks on single inodes, no mount or file-system
//    marks, so it watches no tree either; inotify watches are shared by all
//    of the user's programs, the sync client among them.)
//  - in a larger vault, every pollMs a pass that looks at the times of every
//    folder (GocryptfsConflicts::resolveChanged: one stat each) and reads
//    only those that changed. The gap grows when a pass takes long, so that
//    it never takes more than a twentieth of the time.
// An event on a watched folder is handled at once; a copy elsewhere is seen
// by the next timed pass.
//
// A folder with a copy that is still being written is looked at again when
// the copy may be complete (GocryptfsConflicts::Result::waiting), changes or
// not.
//
// `found` is called on that thread with each pass that made something
// visible or found a copy it must leave hidden; `log` with every line of the passes (renames, copies left
// alone, a control socket that does not answer). Neither is called once the watcher is destroyed (the
// destructor waits for a call in progress). The destructor does not wait for a pass in progress: a pass that
// hangs on a stopped daemon ends on its own, its thread never calls back.
class GocryptfsConflictWatcher {
public:
    using Found = std::function<void(const GocryptfsConflicts::Result&)>;

    // How long the folder must stay quiet before a pass, and the longest a
    // pass waits for quiet while changes keep coming (milliseconds).
    static constexpr int settleMs = 250;
    static constexpr int maxWaitMs = 1000;
    // The most folders watched by inotify, and the least time between two
    // timed passes (milliseconds) once a vault has more folders.
    static constexpr std::size_t maxWatches = 256;
    static constexpr int pollMs = 1000;

    GocryptfsConflictWatcher(std::filesystem::path image, std::filesystem::path mountPoint,
                             std::filesystem::path controlSocket, GocryptfsConflicts::Log log, Found found);
    ~GocryptfsConflictWatcher();
    GocryptfsConflictWatcher(const GocryptfsConflictWatcher&) = delete;
    GocryptfsConflictWatcher& operator=(const GocryptfsConflictWatcher&) = delete;

    const std::filesystem::path& image() const;

    // Where a watcher keeps what its passes know of the image's folders
    // (GocryptfsConflicts::savedState: encrypted paths and times only), so
    // that the first pass after the next unlock reads only the folders that
    // changed while the vault was locked: "$XDG_CACHE_HOME/hushcoffer/
    // conflict-passes/<16 hex digits of SHA-256 of the canonical image
    // path>.state" (~/.cache without XDG_CACHE_HOME).
    static std::filesystem::path stateFileFor(const std::filesystem::path& image);

    // ---- The watcher that lives as long as the mount ----
    // A vault may stay unlocked without the application running (unlocked
    // by hushcoffer-cli from a script, a service or a terminal), so the
    // command-line unlock starts a process of its own that watches the
    // mount until it goes ("hushcoffer-cli watch-conflicts"). It claims the
    // mount by a lock on "<control socket>.watch" holding its process id;
    // one such process per mount.
    static std::filesystem::path claimFileFor(const std::filesystem::path& controlSocket);
    // Claims the mount for this process: the descriptor that holds the lock
    // (close it to let go), or -1 when another process has it (or the file
    // cannot be made).
    static int claim(const std::filesystem::path& controlSocket);
    // Ends the process that claimed the mount of this socket, if there is
    // one (a pass stopped anywhere is finished by a later one), and waits up
    // to `seconds` for it to let go; true when no process holds it now. A
    // lock calls it first: its passes may hold a folder of the mount open
    // for a moment, which would make the unmount fail as busy.
    static bool stopClaimant(const std::filesystem::path& controlSocket, double seconds = 3);

    struct Shared; // what the thread shares with the object

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace vaultkit
