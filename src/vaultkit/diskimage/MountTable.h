#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// One line of the kernel's mount table (/proc/PID/mountinfo), its text fields
// already unescaped.
struct MountEntry {
    long long mountId = 0;
    long long parentId = 0;
    unsigned long long major = 0; // st_dev of the mounted file system
    unsigned long long minor = 0; // for FUSE: the connection number
    std::string root;             // the mounted directory inside its file system
    std::string mountPoint;       // where it is mounted, relative to our root
    std::string options;          // per-mount options ("rw,nosuid,...")
    std::string fsType;           // "ext4", "fuse.gocryptfs", ...
    std::string source;           // the device or what the file system reports ("fsname")
    std::string superOptions;     // per-superblock options
    friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

// Reads and parses the kernel's mount table. The parser is a pure function
// that accepts any bytes: lines it cannot understand are skipped, never
// guessed at.
class MountTable {
public:
    // Parses mountinfo text: "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS
    // [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS", one mount per line. A line
    // without the numeric ids, the device, the five leading fields, the "-"
    // separator or a file-system type is skipped. SOURCE and SUPEROPTIONS may
    // be missing (empty).
    static std::vector<MountEntry> parse(std::string_view text);

    // Undoes the kernel's octal escapes (\040 space, \011 tab, \012 line feed,
    // \134 backslash; any \ followed by three octal digits up to \377). A
    // backslash not followed by such digits stays as it is.
    static std::string unescape(std::string_view field);

    // The mount table of this process's mount namespace, read once; empty when
    // it cannot be read.
    static std::vector<MountEntry> read(const char* path = "/proc/self/mountinfo");
};

} // namespace vaultkit
