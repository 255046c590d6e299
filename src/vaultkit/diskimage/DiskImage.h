#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vaultkit {

// The only place that knows how a vault's encrypted image is made, opened,
// closed and re-keyed. One interface, one implementation per platform:
// GocryptfsDiskImage (Linux, the default here) and HdiutilDiskImage (the other
// platform's disk-image tool). All operations block; callers run them on a
// worker. Failures are thrown as VaultError (hdiutil(verb, message),
// wrongPassword, busy(names)).
class DiskImage {
public:
    struct Attachment {
        // What detach() is given: a whole-disk device on the other platform,
        // the mount point of the image on Linux.
        std::string detachTarget;
        // Every mount point of the image, in the system's order; may be empty.
        std::vector<std::string> mountPoints;
        friend bool operator==(const Attachment&, const Attachment&) = default;
    };

    // How a volume is mounted. local: nothing but the driver changes the
    // image while it is mounted, so the system may cache decrypted data;
    // shared: another program (a sync client, a network file system) may
    // change the image underneath, and every access must see that at once.
    enum class MountMode { local, shared };

    // What the system shows at a mount point: nothing of ours, a working
    // volume, or a volume whose serving process is gone (every access fails
    // until it is cleared).
    enum class MountState { notMounted, mounted, stale };

    virtual ~DiskImage() = default;

    // Name of the image inside the vault directory ("data.gocryptfs",
    // "data.sparsebundle").
    virtual std::string imageName() const = 0;

    // Lines 5 to 8 of a vault's README.txt: how to open the image without the
    // application, in Chinese and in English (four lines, no line feeds).
    virtual std::vector<std::string> readmeHowToOpen() const = 0;

    virtual void create(const std::filesystem::path& image, const std::string& password,
                        const std::string& volumeName) = 0;
    virtual void attach(const std::filesystem::path& image, const std::string& password,
                        const std::filesystem::path& mountPoint, MountMode mode = MountMode::shared) = 0;
    virtual void detach(const std::string& device, bool force) = 0;
    virtual bool checkPassword(const std::filesystem::path& image, const std::string& password) = 0;
    virtual void changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                                const std::string& newPassword) = 0;
    virtual std::optional<Attachment> attachment(const std::filesystem::path& image) = 0;
    virtual std::vector<std::string> busyProcesses(const std::filesystem::path& mountPoint) = 0;
    // Never blocks on a mounted file system (asked every 2 s on the GUI thread).
    virtual bool isMountPoint(const std::filesystem::path& path) = 0;
    // isMountPoint() of each path, in order, from one look at the mount state
    // where the platform allows (the refresh tick asks this for every vault).
    virtual std::vector<bool> areMountPoints(const std::vector<std::filesystem::path>& paths);
    // The state at each path, in order, from one look at the mount state.
    // Never blocks on a mounted file system, not even on a stopped serving
    // process. Drivers that cannot tell a stale mount say mounted
    // (isMountPoint()).
    virtual std::vector<MountState> mountStates(const std::vector<std::filesystem::path>& paths);
    virtual std::string canonical(const std::string& path) = 0;
    // True when the image at this path is missing, or was made and has never
    // held a file: what a creation stopped before its first record leaves.
    // Drivers that cannot tell say false, and such an image is never removed.
    virtual bool neverHeldData(const std::filesystem::path& image);

    // What a check of the encrypted data found.
    struct DataCheck {
        // Paths inside the volume ("/"-separated, from its top) of the files
        // and folders whose encrypted data is damaged, each once, in the
        // order found. A name that no longer decrypts is given as its folder
        // followed by the encrypted name.
        std::vector<std::string> damaged;
        // How many damaged items the tool counted (may exceed the list when
        // it could not name one).
        std::size_t damagedCount = 0;
        // Entries the tool could not read that are no damage, named like
        // `damaged` (by their names inside the volume where the check could
        // tell them): sync clients' conflict copies not yet made visible
        // (whole; they show at the next unlock), and sync clients' temporary
        // files of downloads in progress or given up (the client removes them).
        std::vector<std::string> conflictCopies;
        std::vector<std::string> syncTemporaries;
        // Nothing damaged (conflict copies and temporary files are no damage).
        bool whole() const { return damaged.empty() && damagedCount == 0; }
    };
    // Reads every file and folder of an image that is not mounted and reports
    // what is damaged; changes nothing. Throws wrongPassword, or
    // hdiutil("check", message) when the check cannot run. Drivers without a
    // check throw hdiutil("check", ...) too.
    virtual DataCheck checkData(const std::filesystem::path& image, const std::string& password);

    // The socket through which the daemon of the mounted image answers about
    // its encrypted names (what the conflict watcher asks); nothing for a
    // driver whose volumes have none.
    virtual std::optional<std::filesystem::path> mountControlSocket(const std::filesystem::path& image);

    // Where drivers tell what they did by themselves to keep a vault usable
    // (a leftover file set aside): one line each. Standard error until the
    // program gives its log; an empty sink restores that. Thread-safe.
    using NoticeSink = std::function<void(const std::string& line)>;
    static void setNoticeSink(NoticeSink sink);
    static void notice(const std::string& line);

    // The platform's driver with default tool paths; shared by the library.
    static std::shared_ptr<DiskImage> platformDefault();
    // Replaces what platformDefault() returns (tests: lower scrypt cost,
    // fault-injecting wrappers). nullptr restores the built-in default.
    static void setPlatformDefault(std::shared_ptr<DiskImage> driver);
    // The driver of this platform, made anew: defined in that driver's own
    // file (GocryptfsDiskImage.cpp here), so this interface knows none.
    static std::shared_ptr<DiskImage> makePlatformDriver();
};

} // namespace vaultkit
