#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// What one backup snapshot holds: every entry of a vault directory that
// makes up the vault (the records vault.json and vault.json.bak, README.txt,
// and data.gocryptfs/ with everything below it) with its metadata and, for a
// file, the SHA-256 names of its bands in order. Paths are relative to the
// vault directory, with "/", parents before their children.
//
// Stored as JSON under snapshots/<id>.json; immutable once written.
struct SnapshotManifest {
    static constexpr int format = 1;
    // Bands are fixed pieces of each file at fixed offsets: band i holds the
    // bytes [i * bandBytes, (i + 1) * bandBytes), the last one what is left.
    static constexpr std::size_t bandBytes = 1048576;

    enum class Type { file, directory, link };

    struct Entry {
        std::string path;
        Type type = Type::file;
        std::uint32_t mode = 0;   // permission bits
        std::uint64_t size = 0;   // files
        std::int64_t mtimeNs = 0; // nanoseconds since 1970 (UTC)
        // Change time and inode when the snapshot was taken: a later push
        // reuses the bands of a file whose size, times and inode are all
        // unchanged instead of reading it again.
        std::int64_t ctimeNs = 0;
        std::uint64_t inode = 0;
        std::string target;             // links
        std::vector<std::string> bands; // files: lower-case hex SHA-256
    };

    std::string id;   // see makeId
    std::string time; // "2026-12-11T07:22:03.123Z"
    std::int64_t timeMs = 0;
    std::string vaultId;   // the record's id (empty when no record decoded)
    std::string vaultName; // the vault's name when the snapshot was taken
    std::vector<Entry> entries;

    std::uint64_t totalBytes() const;
    std::size_t fileCount() const;

    std::string encode() const;
    // Checks everything a restore relies on: known format, each path below
    // the vault directory ("..", "." and empty parts refused) whose parent is
    // a directory listed before it, no path twice, band names of 64 hex
    // digits, as many bands as the size needs. Throws std::runtime_error
    // saying what is wrong.
    static SnapshotManifest decode(std::string_view json);

    // An id that sorts by time: "2026-12-11T072203.123Z-" + 8 random hex
    // digits (no colons, which some remote stores refuse in names).
    static std::string makeId(std::int64_t timeMs);
    // The time of an id (nothing when it is not one), so a listing of ids is
    // enough to order snapshots.
    static std::optional<std::int64_t> timeOfId(std::string_view id);
    static bool isId(std::string_view id) { return timeOfId(id).has_value(); }
    static std::string formatTime(std::int64_t timeMs);

    // The number of bands of a file of `size` bytes and the size of band i.
    static std::size_t bandCount(std::uint64_t size);
    static std::size_t bandSize(std::uint64_t size, std::size_t index);
};

} // namespace vaultkit
