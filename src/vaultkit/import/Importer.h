#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

class Vault;

// Copies outside files and folders into an unlocked vault, then checks entry
// by entry that every copy is complete. The check compares an inventory of the
// source with one of the copy and reads attributes only (types and sizes),
// never contents. The sources are never changed or removed.
namespace Importer {

// The copier: GNU cp keeps the tree, sizes, links, modes, times and extended
// attributes. Run as `cp -a --reflink=auto -- SOURCE DESTINATION`.
inline constexpr const char* copyTool = "/usr/bin/cp";
// Prefix of the first problem text when the copier fails.
inline constexpr const char* copyToolPrefix = "cp: ";
// Time limit of one copy: 7 days.
inline constexpr double copyTimeLimitSeconds = 604'800;
// A result holds at most this many problem texts.
inline constexpr std::size_t maxProblems = 51;

// Each item is copied under a hidden temporary name in the volume's root,
// checked, flushed to the disk and then renamed to its name; the name starts
// with this and goes on with this computer's and this boot's ids, the
// importing process's id and a random part.
inline constexpr std::string_view temporaryPrefix = ".hushcoffer-import-";

// Inventory values besides a size (0 or more).
inline constexpr std::int64_t directoryValue = -1;
inline constexpr std::int64_t symlinkValue = -2;
inline constexpr std::int64_t unreadableValue = -3;

// Outcome of importing one item.
struct Result {
    std::string id;                    // new random identity (UUID text)
    std::filesystem::path source;      // the item that was copied
    std::filesystem::path destination; // where it went, inside the vault, under the name
                                       // it got ("notes 2.txt" beside an earlier "notes.txt")
    std::int64_t files = 0;            // what the source holds that is not a folder: the item
                                       // itself when it is a file, else its files and links
    std::int64_t folders = 0;          // the folders below the item (not the item itself)
    std::int64_t bytes = 0;            // total size of the source's regular files
    std::vector<std::string> problems; // empty when the copy is complete

    bool ok() const { return problems.empty(); }
};

// Relative path ("." for the item itself, "a/b" below it) to its value: a
// size (0 or more) for a regular file or any other item that is neither a
// directory nor a link, directoryValue, symlinkValue (never followed) or
// unreadableValue. Kept in byte order of the paths, so comparisons and their
// problem lists come out the same on every run.
struct Inventory {
    std::map<std::string, std::int64_t> entries;
    std::int64_t bytes = 0; // sum of the sizes of the first kind
};

// Called with each source just before it is copied.
using ItemProgress = std::function<void(const std::filesystem::path& source)>;
// Called with the fraction (0 to 1, never decreasing) of all sources' bytes
// that has arrived in the vault so far; sampled while a copy runs, a few times
// a second at most, and 1 when everything is done.
using ByteProgress = std::function<void(double fraction)>;

// Copies each source into the vault's volume root under uniqueDestination of
// its name, one after the other, and returns one result per source in the
// order given. Each copy is made under a temporary name (temporaryPrefix),
// compared with its source, flushed and then renamed; the renames are
// flushed before copy() returns, so whatever it reports is on the disk. An
// item the copier could not copy whole is still given its name, with its
// problems reported. Throws only VaultError::io("vault is locked") when the
// vault is not unlocked at the start (before any callback); every other
// failure is reported in the results, and a failing item does not stop the
// others.
std::vector<Result> copy(const std::vector<std::filesystem::path>& sources, const Vault& vault,
                         const ItemProgress& progress = {}, const ByteProgress& byteProgress = {});

// The first source that holds the vault itself (its directory or its volume,
// or is one of them), standardized; nothing when none does. A selection with
// such a source is refused as a whole before anything is copied: copying a
// vault into itself would never end.
std::optional<std::filesystem::path> sourceHoldingVault(const std::vector<std::filesystem::path>& sources,
                                                        const Vault& vault);

// Removes from `folder` the temporary copies that imports killed on their way
// left behind: this computer's, made in an earlier boot or by a process that
// has ended (another computer's, in a vault kept in sync, are left alone).
// Returns how many were removed. copy() calls it on the volume's root first.
std::size_t removeAbandonedCopies(const std::filesystem::path& folder);

// `url` when nothing is there (not even a dangling link); otherwise the first
// free name of "base 2.ext", "base 3.ext", … in the same folder ("base 2" for
// a name without extension).
std::filesystem::path uniqueDestination(const std::filesystem::path& url);

// The inventory of an item and everything below it (links not followed).
Inventory inventory(const std::filesystem::path& url);

// Appends to `problems` (which may already hold the copier's problem) a
// "missing: P" or "size differs: P" for each source entry the copy lacks or
// holds with another value, in path order, and stops once the list holds
// more than 50 texts.
std::vector<std::string> compare(const Inventory& source, const Inventory& copy,
                                 std::vector<std::string> problems = {});

} // namespace Importer

} // namespace vaultkit
