#pragma once

#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/diskimage/MountTable.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vaultkit {

// The Linux driver: the encrypted image is a gocryptfs cipher directory, and
// attaching it means mounting it over FUSE on the vault's visible folder.
//
//  - Passwords go to gocryptfs on standard input as UTF-8 followed by one line
//    feed. gocryptfs reads at most 2048 bytes up to the first line feed, so a
//    longer password, or one holding a line feed or NUL, is refused before any
//    tool runs.
//  - Mounts made here carry the source (fsname) "hushcoffer:" + the
//    percent-encoded canonical image path, which the mount table shows
//    unchanged; mounts a person made by hand show the cipher path with ","
//    turned into "_" and "\" dropped, and are matched as well as that allows.
//  - The mount state is always read from /proc/self/mountinfo (once per
//    query). isMountPoint() and canonical() never stat a mount point, so a
//    killed or stopped gocryptfs daemon cannot make them fail or hang.
//  - A forced detach cuts the mount's FUSE connection, so nothing inside
//    reads decrypted data afterwards. Where the FUSE control file system is
//    mounted (/sys/fs/fuse/connections; its files belong to the mount's
//    owner) it aborts the connection by its number, the device number the
//    mount table gives the mount. It also ends the daemon that serves the
//    mount, found through its /dev/fuse descriptor's fdinfo
//    ("fuse_connection:", written by Linux 6.16 and later only), else through
//    its arguments (the mount point last) resolved against its working
//    directory and the cipher directory it holds open, which finds a vault
//    mounted by hand with relative paths. When none of these applies and a
//    process may still serve the mount, it throws instead of reporting a lock.
//  - "attach" on Linux gives no device: detach() takes the mount point.
class GocryptfsDiskImage final : public DiskImage {
public:
    static constexpr std::string_view imageFolderName = "data.gocryptfs";
    static constexpr std::size_t maxPasswordBytes = 2048;
    static constexpr std::string_view fsnamePrefix = "hushcoffer:";
    static constexpr std::string_view fsType = "fuse.gocryptfs";

    // The gocryptfs options of each mount mode (see docs/performance.md for
    // the measurements):
    //  - shared: "-sharedstorage", so that another program changing the image
    //    folder underneath (a sync client replacing files) is seen at once and
    //    cannot confuse the hard-link tracking; no kernel page cache, which
    //    would keep serving decrypted pages of files changed underneath.
    //  - local: "-kernel_cache": nothing but this mount changes the image, so
    //    the kernel may keep decrypted pages between opens of a file.
    // Deliberately absent in both: "-noprealloc" (a full disk could then
    // corrupt the last block of a file being written).
    static std::vector<std::string> mountOptionsFor(MountMode mode);

    struct Options {
        std::string gocryptfs = "/usr/bin/gocryptfs";
        std::string xray = "/usr/bin/gocryptfs-xray";
        std::string fusermount = "/usr/bin/fusermount3";
        // Time limits in seconds.
        double createTimeout = 300;
        double attachTimeout = 180;
        double detachTimeout = 120;
        double checkPasswordTimeout = 180;
        double changePasswordTimeout = 120;
        // A data check reads every file: a large vault takes long.
        double checkDataTimeout = 24 * 3600;
        // How long a forced detach waits for the daemon to end after SIGTERM
        // before it sends SIGKILL (and as long again after that).
        double daemonExitWait = 5;
        // Where the FUSE control file system is mounted; empty: not used.
        std::string fuseControlDir = "/sys/fs/fuse/connections";
        // The ways a daemon is matched to its mount (see above); tests switch
        // them off one by one.
        bool daemonByConnection = true;
        bool daemonByArguments = true;
        // How long the state of a mount waits for its daemon to answer a
        // statfs of the mount point before it looks for the daemon in /proc
        // instead (a stopped daemon answers nothing until it runs again).
        // Short: the application asks from its window's thread, and a late
        // answer only costs the look in /proc.
        double mountProbeTimeout = 0.05;
        // scrypt cost (log2 N) for new images and password changes, for tests
        // only: 0 keeps gocryptfs's default; otherwise at least 10.
        int scryptN = 0;
        // When set, the gocryptfs options of every mount instead of those of
        // its mode (mountOptionsFor), placed before "-fsname"; a value goes
        // with its option ("-ko=noatime"). Benchmarks compare others.
        std::optional<std::vector<std::string>> mountOptions;
    };

    GocryptfsDiskImage();
    // Throws std::invalid_argument for a scrypt cost other than 0 or 10..28,
    // or a mount option that does not start with "-".
    explicit GocryptfsDiskImage(Options options);

    const Options& options() const { return options_; }

    std::string imageName() const override { return std::string(imageFolderName); }
    std::vector<std::string> readmeHowToOpen() const override;

    void create(const std::filesystem::path& image, const std::string& password,
                const std::string& volumeName) override;
    void attach(const std::filesystem::path& image, const std::string& password,
                const std::filesystem::path& mountPoint, MountMode mode = MountMode::shared) override;
    void detach(const std::string& device, bool force) override;
    bool checkPassword(const std::filesystem::path& image, const std::string& password) override;
    void changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                        const std::string& newPassword) override;
    std::optional<Attachment> attachment(const std::filesystem::path& image) override;
    std::vector<std::string> busyProcesses(const std::filesystem::path& mountPoint) override;
    bool isMountPoint(const std::filesystem::path& path) override;
    // One read of the mount table answers every path.
    std::vector<bool> areMountPoints(const std::vector<std::filesystem::path>& paths) override;
    // A mount of ours whose daemon is gone (no process holds its FUSE
    // connection: killed, crashed) is stale. The kernel says so first: a
    // statfs of the mount point fails with ENOTCONN, and one that is answered
    // means a live daemon. Only when it cannot tell (no answer within
    // mountProbeTimeout, a mount this user may not ask) are the processes in
    // /proc looked at; a stopped daemon is still there and counts as mounted.
    std::vector<MountState> mountStates(const std::vector<std::filesystem::path>& paths) override;
    bool neverHeldData(const std::filesystem::path& image) override;
    // gocryptfs -fsck (read-only; exit status 26 when it found damage).
    DataCheck checkData(const std::filesystem::path& image, const std::string& password) override;
    // controlSocket().
    std::optional<std::filesystem::path> mountControlSocket(const std::filesystem::path& image) override;
    std::string canonical(const std::string& path) override;

    // ---- Pure parts (no tools run), public for tests ----

    // The fsname of a mount made here, and back (none when the source is not
    // one of ours or its encoding is broken).
    static std::string fsnameFor(std::string_view canonicalImage);
    static std::optional<std::string> imageFromFsname(std::string_view source);
    // What the mount table shows as the source of a mount made by hand of the
    // cipher directory at `path` (commas become "_", backslashes vanish).
    static std::string handMadeSource(std::string_view path);
    // The tool's text without gocryptfs's syslog noise, cleaned for the user.
    static std::string cleanToolText(std::string_view text);
    // The damaged paths named in the output of gocryptfs -fsck: its lines
    // "fsck: error reading file \"PATH\" …", "fsck: error reading dir
    // \"PATH\": …", "fsck: corrupt entry in dir \"DIR\": \"NAME\"" and the like
    // (Go-quoted), and the count of its "fsck summary: N corrupt files" line.
    static DataCheck parseFsckOutput(std::string_view output);
    // Throws hdiutil(verb, ...) when gocryptfs cannot take the password.
    static void checkPasswordShape(const std::string& password, const std::string& verb);

    // canonical() against a given mount table: the real path with links, "."
    // and ".." resolved component by component, where a component that is a
    // mount point in `table` is taken as it is and never looked at; when the
    // path does not resolve, its standardised absolute form.
    static std::string canonicalIn(const std::string& path, const std::vector<MountEntry>& table);
    // The mounts of the image in `table`, in table order.
    static std::vector<MountEntry> mountsOf(const std::filesystem::path& image,
                                            const std::vector<MountEntry>& table);

    // PIDs of the processes serving the FUSE mount `entry` (see above; both
    // ways on).
    static std::vector<pid_t> daemonsServing(const MountEntry& entry);
    // How many times this process has looked for gocryptfs daemons in /proc
    // (each look reads every process); tests see which questions need it.
    static std::size_t daemonScanCount();

    // Where the control sockets of the image's mounts go (gocryptfs
    // -ctlsock), through which the encrypted names of the mounted image can
    // be asked: "<folder>/<16 hex digits of SHA-256 of the canonical image
    // path>.sock", where the folder is $XDG_RUNTIME_DIR/hushcoffer, or
    // /tmp/hushcoffer-UID without a usable runtime folder (or when the path
    // would not fit a Unix socket address). Each mount made here gets a
    // fresh one beside it, that name with "-" and 8 random hex digits before
    // ".sock", so that a mount right after an unmount never waits for the
    // ending daemon's socket to go; leftovers nobody listens on (and the
    // watchers' claim files nobody holds) are removed before each mount.
    static std::filesystem::path controlSocketFor(std::string_view canonicalImage);
    // The control socket of the mounted image: the one its daemon's command
    // line names (also for mounts made by earlier runs or other processes),
    // else controlSocketFor() of the image as the mount table resolves it.
    std::filesystem::path controlSocket(const std::filesystem::path& image);

private:
    Options options_;
};

} // namespace vaultkit
