#pragma once

#include "vaultkit/diskimage/GocryptfsControlSocket.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vaultkit {

// Makes the conflict copies of sync clients visible in an unlocked vault.
//
// When two computers change one file of a vault kept in a synced folder, the
// sync client keeps both versions and renames one encrypted file, e.g.
// "ENC (conflicted copy 2024-05-01)" or "ENC.sync-conflict-20240501-101010-
// ABCDEFG". gocryptfs cannot decrypt such a name and hides the file. Each one
// found here gets an encrypted name that decrypts to "NAME (Conflict N).EXT"
// beside the original, N counting up from 1 past every name already there:
//  1. in the image folder, the copy is renamed to the encrypted form of a
//     temporary plain name (asked of the running daemon, -ctlsock),
//     ".hushcoffer-conflict-" + 16 hex digits of the SHA-256 of the
//     original's plain name + "-" + random hex digits;
//  2. it is read through the mount to its end (every block decrypts);
//  3. in the mounted volume, that name is renamed to the first free
//     "NAME (Conflict N).EXT" (never replacing anything), so gocryptfs itself
//     writes a long name's gocryptfs.longname.*.name record.
// A pass that finds a temporary name (an earlier pass was killed between the
// steps) finishes it: the original is the entry whose name hashes to the
// digits. A copy is renamed only when it is complete: no process holds it
// open for writing, its size and modification time have stood still for
// Options::stillMs, and it reads to its end. One identical to a copy already
// shown beside the original (another computer showed it first, and the
// client has not yet carried over the rename) is left to the client.
//
// Which names are copies: the marks of the clients' table (marks()), and any
// other hidden name that is an encrypted name with something added after it
// (a client this table does not know). A long name's copy whose original and
// its record are gone gets a stand-in name, "Conflict copy N" (with the
// extension when a copy of the record tells the name).
//
// A conflicted gocryptfs.diriv (the folder's name key) whose content differs
// from the one in use hides every name made under it. Such a copy moves into
// a new sub-folder "Other copy of this folder (Conflict N)" as that folder's
// gocryptfs.diriv. Every pass then moves each entry of the folder whose name
// reads under the key of such a sub-folder into it (names depend only on the
// key of the folder they are in, contents not at all, so each one is then
// readable there unchanged), also entries that arrive later. A name "reads"
// under a key when it decrypts to valid UTF-8 without control characters
// (gocryptfs's own padding check passes for about 1 name in 256 of another
// key); when it reads under both, the other key wins. A copy identical to the
// key in use hides nothing and is left alone.
//
// Every step is a rename that refuses to replace (RENAME_NOREPLACE) or the
// making of an empty folder, ordered so that a pass stopped anywhere leaves
// nothing a later pass cannot finish; each is logged. A marked name that does
// not decrypt, a name gocryptfs refuses, a folder that cannot be written: the
// copy stays as it was, and the reason is logged once and listed in
// Result::hidden on every pass.
//
// Blocking (socket questions, renames and reads in the mount): run it on a
// worker. One object per mounted vault; it remembers what it has reported.
class GocryptfsConflicts {
public:
    using Log = std::function<void(const std::string&)>;

    struct Result {
        // Plain paths inside the vault, "/"-separated, of what was made
        // visible: the renamed copies and the "Other copy…" folders.
        std::vector<std::string> madeVisible;
        // The plain folders that hold them ("" is the top of the vault),
        // each once, in the order found.
        std::vector<std::string> folders;
        // One line for each copy found and left as it was (new this call).
        std::vector<std::string> problems;
        // One line for each copy left hidden in the folders looked at so far
        // (this pass and earlier ones of this object), for lists the user
        // reads.
        std::vector<std::string> hidden;
        // Folders of the image folder (relative, "" its top) with a copy that
        // is not complete yet, to be looked at again in `waitMs` ms.
        std::vector<std::string> waiting;
        int waitMs = 0;
        // The folders of the image folder this pass read (relative, "" its
        // top), in the order read.
        std::vector<std::string> read;
    };

    struct Options {
        // How long a copy's size and modification time must have stood still
        // before it is renamed: longer than a sync client pauses between two
        // writes of one file.
        int stillMs = 1500;
        // Called between the steps of a change with the step's name
        // ("folder", "key", "temporary", "moved"); tests throw from it to
        // stop a pass there.
        std::function<void(std::string_view step)> stepHook;
        // Called with each folder of the image folder (relative, "" its top)
        // as a pass reads it; tests count them.
        std::function<void(const std::string& folder)> readHook;
        // A folder whose times lie less than this before the moment a pass
        // read it is read again by the next pass: a change in the same tick
        // of the file system's clock would leave its times as they were.
        int racyMs = 1000;
    };

    // A sync client's mark: the text it adds to a name in conflict.
    struct Mark {
        std::string client;
        std::string pattern; // ECMAScript regular expression of the mark alone
    };
    static const std::vector<Mark>& marks();

    // The names `name` may have had before a client marked it: the name with
    // one match of one mark taken out, in table order, each once.
    static std::vector<std::string> unmarkedNames(std::string_view name);
    // Whether the name has the form of a gocryptfs encrypted name: unpadded
    // URL-safe Base64 of a whole number (at least one) of 16-byte blocks, at
    // most 255 bytes, or "gocryptfs.longname." + 43 Base64 characters.
    static bool isCipherName(std::string_view name);
    // "NAME (Conflict N).EXT" of a plain file name ("EXT" after the last dot
    // that is not the first character), with NAME shortened at a character
    // boundary so that the result fits in `maxBytes`.
    static std::string conflictName(std::string_view plainName, int n, std::size_t maxBytes = 255);
    static std::string otherCopyFolderName(int n);
    // The stand-in name of a copy whose original name is unknown:
    // "Conflict copy N" + `extension` (with its dot, or empty).
    static std::string standInName(int n, std::string_view extension = {});
    // Whether a decrypted name can be a real one: valid UTF-8 without
    // control characters, not "." or "..", no "/".
    static bool isPlausibleName(std::string_view name);
    // Whether the name is a sync client's temporary file of a download in
    // progress (or one it keeps after a failed one), e.g. ".syncthing.NAME.tmp";
    // the client that makes it, none otherwise.
    static std::optional<std::string> syncTemporaryClient(std::string_view name);
    // The encrypted names a hidden name may have had before a client marked
    // it: unmarkedNames(), then the encrypted names it starts with (longest
    // first) and, for a long name with something added inside, the long name.
    static std::vector<std::string> originalNames(std::string_view name);

    GocryptfsConflicts(std::filesystem::path image, std::filesystem::path mountPoint,
                       std::filesystem::path controlSocket, Log log = {});
    GocryptfsConflicts(std::filesystem::path image, std::filesystem::path mountPoint,
                       std::filesystem::path controlSocket, Log log, Options options);

    // One pass over the whole image folder: every folder is read. Throws
    // GocryptfsControlSocket::Unreachable when the daemon does not answer.
    Result resolve();
    // A pass over what changed since the passes before it: every folder this
    // object knows is looked at (one stat, no reading), and only those whose
    // inode, modification or change time differ from when a pass last read
    // them, those new since, and those holding a copy that did not read to
    // its end and has changed since, are read. A copy arriving (a rename or
    // a new file) changes the times of its folder, so it is found; an
    // unchanged vault costs one stat per folder. The first pass reads all.
    Result resolveChanged();
    // How many folders of the image folder the passes so far know, and up
    // to `max` of them, the top levels first (relative, "" the top).
    std::size_t knownFolderCount() const;
    std::vector<std::string> knownFolders(std::size_t max) const;
    // What the passes know, as text to keep until the next mount: each
    // folder's encrypted path, inode and times, and whether the first pass
    // must read it anyway (it holds a copy left hidden, one that did not
    // read to its end or one still being written). No plain name is in it.
    std::string savedState() const;
    // Takes what savedState() gave, so that the next resolveChanged() reads
    // only what changed since (copies a client left while the vault was
    // locked change their folders' times too). False, and nothing taken,
    // when the text is not such a state.
    bool restoreState(std::string_view text);
    // A pass over some folders of the image folder only, given relative to
    // it ("" is its top): each alone, or with all below it when `recursive`.
    // Folders that are gone or whose names do not decrypt are skipped.
    struct Folder {
        std::string cipherPath;
        bool recursive = false;
    };
    Result resolve(const std::vector<Folder>& folders);

private:
    struct Pass; // what one folder's pass knows
    // A folder's identity and times when a pass read it.
    struct Stamp {
        ino_t inode;
        long long mtime;
        long long ctime;
    };
    // What the passes know of a folder: its stamp, whether it must be read
    // again anyway (racy), its plain path, its sub-folders (encrypted and
    // plain paths).
    struct Known {
        Stamp stamp;
        bool racy;
        bool plainKnown; // false when restored: asked of the daemon when needed
        std::string plain;
        std::vector<std::pair<std::string, std::string>> subfolders;
    };
    // Reads one folder (and, when `recursive`, all below it); its
    // sub-folders, encrypted and plain paths, go to `subfolders` when given.
    // False when the folder could not be read.
    bool scanFolder(const std::string& cipherRel, const std::string& plainRel, Result& result, int depth,
                    bool recursive = true,
                    std::vector<std::pair<std::string, std::string>>* subfolders = nullptr);
    // Looks at a folder's stamp and reads it when it changed (or `force`);
    // then the same for its sub-folders when `descend`.
    void visit(const std::string& cipherRel, std::optional<std::string> plainRel, Result& result, int depth,
               bool force, bool descend, const std::set<std::string>& forced);
    // Forgets a folder and everything below it.
    void forget(const std::string& cipherRel);
    // Lists the folder of `pass` again, in the mount and in the image folder;
    // false when the image folder cannot be read.
    bool look(Pass& pass);
    void resolveKeyCopies(Pass& pass, Result& result);
    void resolveHiddenNames(Pass& pass, Result& result);
    bool resolveDirIV(Pass& pass, const std::string& copy, Result& result);
    bool moveToOtherCopy(Pass& pass, const std::string& name, const std::string& folderCipher,
                         Result& result);
    bool resolveHidden(Pass& pass, const std::string& name, Result& result);
    bool reveal(Pass& pass, const std::string& copy, const std::string& plainName, bool standIn,
                const std::string& extension, Result& result);
    // Gives the copy under the temporary name its visible name: "NAME
    // (Conflict N).EXT" of `*original`, a stand-in when that is empty; with
    // no `original`, the one whose hash the name carries (a pass stopped).
    bool finishTemporary(Pass& pass, const std::string& tempPlain, const std::string& where, Result& result,
                         const std::string* original = nullptr, const std::string& extension = {});
    std::optional<std::string> readsUnder(const std::string& folderCipher, const std::string& name,
                                          const std::string& keyFolderCipher) const;
    bool openForWriting(const std::filesystem::path& file);
    void step(std::string_view name) const;
    // Logs `line` once per `key`; `hides`: the copy stays hidden (listed).
    void problem(Result& result, const std::string& key, const std::string& line, bool hides = true);
    void note(const std::string& line) const;
    std::filesystem::path cipherPath(const std::string& rel) const;
    std::filesystem::path plainPath(const std::string& rel) const;

    std::filesystem::path image_;
    std::filesystem::path realImage_; // image_ with links resolved, as /proc shows open files
    std::filesystem::path mountPoint_;
    GocryptfsControlSocket socket_;
    Log log_;
    Options options_;
    std::set<std::string> reported_;
    // The copies left hidden, by their path in the image folder: the lines
    // of Result::hidden.
    std::map<std::string, std::string> hidden_;
    void listHidden(Result& result) const;
    // Files open for writing (by path), read from /proc once per pass.
    std::optional<std::set<std::string>> writers_;
    // Copies that did not read to their end, by path, with the size and
    // modification time they had: tried again only once they change.
    std::map<std::string, std::pair<off_t, long long>> unreadable_;
    // The folders the passes have read, by encrypted path.
    std::map<std::string, Known> known_;
    // Folders with a copy not complete yet at their last read.
    std::set<std::string> waiting_;
};

} // namespace vaultkit
