#pragma once

#include "vaultkit/backup/SnapshotManifest.h"
#include "vaultkit/backup/SyncStore.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vaultkit {

// The backup engine: snapshots of a vault directory's encrypted data in a
// SyncStore, content-addressed by band. Store layout:
//   hushcoffer-backup.json         what the store is ({"format": 1})
//   snapshots/<id>.json            one manifest per snapshot (SnapshotManifest)
//   bands/<2 hex>/<64 hex>         one band: the bytes whose SHA-256 is its name
//   locks/<kind>-<random>.json     leases of running pushes and prunes
// Nothing is ever changed in place: bands and manifests are written once, a
// manifest only after every band it names is stored, and a prune removes a
// manifest before the bands only it needed.
//
// Every operation blocks: run it on a worker. Errors: VaultError (io for the
// store and the file system, snapshotNotFound, integrity, changedDuringSync,
// alreadyExists); one BandSync per store and thread.
class BandSync {
public:
    static constexpr const char* markerKey = "hushcoffer-backup.json";

    explicit BandSync(SyncStore& store);

    struct PushProgress {
        std::size_t filesDone = 0, filesTotal = 0;
        std::uint64_t bytesDone = 0, bytesTotal = 0;
        std::size_t bandsSent = 0;
        std::uint64_t bytesSent = 0;
    };
    struct PushOptions {
        // Called after each band read and each file done.
        std::function<void(const PushProgress&)> progress;
        // The snapshot's time (milliseconds since 1970); now when empty.
        std::optional<std::int64_t> timeMs;
        // How often a file that changes while it is read is read again.
        int attempts = 3;
        // Read every file even when the previous snapshot of the vault has
        // it with the same size, times and inode.
        bool rereadAll = false;
        // Tests only: called after each read of a file, before it is checked
        // for changes (path relative to the vault directory).
        std::function<void(const std::string& path)> afterReadForTesting;
    };
    struct PushResult {
        std::string snapshot;
        std::size_t files = 0;
        std::uint64_t bytes = 0;
        std::size_t bands = 0;     // bands the snapshot names
        std::size_t bandsSent = 0; // bands the store did not have
        std::uint64_t bytesSent = 0;
        std::size_t filesRead = 0;        // files read (the others were unchanged)
        std::vector<std::string> skipped; // entries of a kind a vault never holds (sockets, devices)
    };
    // Takes a snapshot of the vault directory `vaultDir` (locked or
    // unlocked: only the encrypted data is read). A file that changes while
    // it is read is read again; one that keeps changing ends the push with
    // changedDuringSync, and no snapshot is written. A file removed during
    // the push is left out of the snapshot.
    PushResult push(const std::filesystem::path& vaultDir, const PushOptions& options);

    struct SnapshotInfo {
        std::string id;
        std::string time;
        std::string vaultId;
        std::string vaultName;
        std::size_t files = 0;
        std::uint64_t bytes = 0;
        std::size_t bands = 0;
        bool readable = true; // false: the manifest does not decode
        std::string problem;
    };
    // Every snapshot, oldest first.
    std::vector<SnapshotInfo> list();

    struct RestoreOptions {
        // Only these entries (encrypted paths relative to the vault
        // directory, e.g. "data.gocryptfs/Xy…"; folders with all they hold),
        // with what a vault needs to open: the records, README.txt, the
        // image's configuration and the folders on the way with their
        // gocryptfs.diriv. Empty: everything.
        std::vector<std::string> only;
    };
    struct RestoreResult {
        std::filesystem::path vaultDir;
        std::size_t files = 0;
        std::uint64_t bytes = 0;
    };
    // Restores the snapshot as the new vault directory PARENT/.NAME.hushcoffer
    // (alreadyExists when it or the folder PARENT/NAME exists and is not
    // empty). Every band is checked against its name; files with a missing
    // or damaged band are left out, the rest is restored, and then integrity
    // names those files. The directory appears under its name only when
    // complete (it is assembled beside it first). The record copies get NAME
    // as the vault's name (its visible folder is PARENT/NAME); they keep the
    // vault's id, so the copy and the original are the same vault to the
    // keyring.
    RestoreResult restore(const std::string& snapshot, const std::filesystem::path& parent,
                          const std::string& name, const RestoreOptions& options = {});

    struct Damage {
        std::string snapshot;
        std::string path; // empty: the manifest itself
        std::vector<std::string> bands;
        std::string what; // "missing", "damaged", or the manifest's problem
    };
    struct CheckReport {
        std::size_t snapshots = 0;
        std::size_t bands = 0;        // bands the snapshots name
        std::size_t bandsRead = 0;    // with readData
        std::size_t unreferenced = 0; // stored bands no snapshot names (prune removes them)
        std::vector<std::string> missingBands;
        std::vector<std::string> damagedBands;
        std::vector<Damage> damage; // per snapshot and file
        bool ok() const { return damage.empty(); }
    };
    // Checks that every band every snapshot names is in the store, and with
    // readData that each one's bytes have its SHA-256.
    CheckReport check(bool readData);

    struct KeepRules {
        int last = 0, daily = 0, weekly = 0, monthly = 0;
        bool any() const { return last > 0 || daily > 0 || weekly > 0 || monthly > 0; }
    };
    struct PruneResult {
        std::vector<std::string> kept, removed;
        std::size_t bandsRemoved = 0;
        // A push was running: no band was removed (the next prune does it).
        bool bandsLeftForPush = false;
    };
    // Of each vault's snapshots keeps those the rules name (the newest N;
    // the newest of each of the N latest days, ISO weeks, months with a
    // snapshot, in UTC), removes the others, then the bands no remaining
    // snapshot names. Snapshots whose manifest does not decode are kept.
    // dryRun: only says what it would do.
    PruneResult prune(const KeepRules& rules, bool dryRun = false);

    // The snapshots a prune with `rules` keeps of `snapshots` (ids with times
    // and vault ids); exposed for tests.
    static std::vector<std::string> selectKept(const std::vector<SnapshotInfo>& snapshots,
                                               const KeepRules& rules);

private:
    // The store's marker: written by the first push to an empty store;
    // every other operation wants it (io: not a backup store).
    void requireStore(bool createIfEmpty);
    std::optional<SnapshotManifest> loadManifest(const std::string& id);
    std::vector<std::string> snapshotIds();

    SyncStore& store_;
};

} // namespace vaultkit
