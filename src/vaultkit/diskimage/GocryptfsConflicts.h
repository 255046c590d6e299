#pragma once

#include "vaultkit/diskimage/GocryptfsControlSocket.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
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
//     temporary plain name (asked of the running daemon, -ctlsock);
//  2. in the mounted volume, that name is renamed to the first free
//     "NAME (Conflict N).EXT" (never replacing anything), so gocryptfs itself
//     writes a long name's gocryptfs.longname.*.name record.
// A conflicted gocryptfs.diriv (the folder's name key) whose content differs
// from the one in use hides every name made under it. Such a copy moves into
// a new sub-folder "Other copy of this folder (Conflict N)" as that folder's
// gocryptfs.diriv, and every entry of the folder that decrypts under that key
// and not under the folder's own moves in beside it: names depend only on the
// key of the folder they are in, contents not at all, so each one is then
// readable there unchanged. A copy identical to the one in use hides nothing
// and is left alone.
//
// Nothing is ever deleted or replaced: every change is a rename that refuses
// to replace (RENAME_NOREPLACE), and each is logged. A marked name that does
// not decrypt, a name gocryptfs refuses, a folder that cannot be written: the
// copy stays as it was, and the reason is logged once.
//
// Blocking (socket questions, renames in the mount): run it on a worker. One
// object per mounted vault; it remembers what it has reported.
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

    GocryptfsConflicts(std::filesystem::path image, std::filesystem::path mountPoint,
                       std::filesystem::path controlSocket, Log log = {});

    // One pass over the whole image folder. Throws
    // GocryptfsControlSocket::Unreachable when the daemon does not answer.
    Result resolve();
    // A pass over some folders of the image folder only, given relative to
    // it ("" is its top): each alone, or with all below it when `recursive`.
    // Folders that are gone or whose names do not decrypt are skipped.
    struct Folder {
        std::string cipherPath;
        bool recursive = false;
    };
    Result resolve(const std::vector<Folder>& folders);

private:
    void scanFolder(const std::string& cipherRel, const std::string& plainRel, Result& result, int depth,
                    bool recursive = true);
    bool resolveDirIV(const std::string& cipherRel, const std::string& plainRel, const std::string& copy,
                      Result& result);
    bool resolveName(const std::string& cipherRel, const std::string& plainRel, const std::string& copy,
                     const std::string& plainName, Result& result);
    void problem(Result& result, const std::string& key, const std::string& line);
    void note(const std::string& line) const;
    std::filesystem::path cipherPath(const std::string& rel) const;
    std::filesystem::path plainPath(const std::string& rel) const;

    std::filesystem::path image_;
    std::filesystem::path mountPoint_;
    GocryptfsControlSocket socket_;
    Log log_;
    std::set<std::string> reported_;
};

} // namespace vaultkit
