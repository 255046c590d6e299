#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace vaultkit {

// What a locked vault's encrypted tree looked like when this computer locked
// it, to tell at the next unlock whether something else wrote it meanwhile
// (a sync client that leaves no trace, another computer on a shared drive).
//
// The record is the list of the tree's folders, each with its path below the
// image folder, inode, modification and change time (with nanoseconds), kept
// in a file of this computer. An entry added, removed or renamed in a folder
// changes that folder's mtime and ctime, and user space cannot set a ctime
// back; so comparing the folders' stamps sees every such change without
// listing a single folder. A file rewritten in place under the same name is
// not seen (nor was it by a listing of names).
//
// The record file: a header line, one line per folder, and a SHA-256 over all
// of it; a file that does not read whole is no record at all.
class LockedTree {
public:
    enum class Finding {
        unknown,   // no usable record, or the image folder cannot be read
        unchanged, // every recorded folder has its recorded stamps
        changed,   // a folder is gone, or has another inode, mtime or ctime
    };

    // Compares the tree below `imageDir` with the record in `file`: one lstat
    // a recorded folder, stopping at the first difference; no folder is listed.
    static Finding compare(const std::filesystem::path& imageDir, const std::filesystem::path& file);

    // Writes the record of the tree below `imageDir` into `file` (its folder
    // must exist). Starts from the record in `file`, or else from `previous`
    // (the record set aside at the mount, see suspend): only the folders whose
    // stamps changed, or that changed too shortly before they were last read
    // to trust their stamps, are listed again (to find new subfolders);
    // folders that went away are dropped. Without any record the tree is
    // walked once. Returns false when nothing could be written (the old file
    // is then removed: no record, nothing concluded).
    static bool record(const std::filesystem::path& imageDir, const std::filesystem::path& file,
                       const std::filesystem::path& previous);

    // The tree is about to be written by this computer (a mount): the record
    // no longer describes it, but is kept as `previous` for the next record.
    static void suspend(const std::filesystem::path& file, const std::filesystem::path& previous);

    // Tests only: called with each folder listed (by record; compare lists
    // none). Empty by default.
    using ReadHook = std::function<void(const std::filesystem::path& folder)>;
    static void setReadHookForTesting(ReadHook hook);
};

} // namespace vaultkit
