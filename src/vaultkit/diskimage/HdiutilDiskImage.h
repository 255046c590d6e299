#pragma once

#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/process/Exec.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// The driver for the other platform's disk-image tool: an AES-256 encrypted
// APFS sparse bundle made, attached, detached and re-keyed with hdiutil (and
// diskutil's image command for attaching, where it exists), busy processes
// from lsof. Tool paths and time limits are options so that tests can run it
// against stand-in tools.
class HdiutilDiskImage final : public DiskImage {
public:
    // Virtual size of every new image (the sparse bundle only occupies what is
    // written).
    static constexpr std::string_view maxSize = "8t";
    // Band size of the sparse bundle in 512-byte sectors, and in bytes.
    static constexpr int bandSectors = 2048;
    static constexpr std::int64_t bandBytes = std::int64_t{bandSectors} * 512;
    static constexpr std::string_view imageFolderName = "data.sparsebundle";

    struct Options {
        std::string hdiutil = "/usr/bin/hdiutil";
        std::string diskutil = "/usr/sbin/diskutil";
        std::string lsof = "/usr/sbin/lsof";
        // Time limits in seconds.
        double createTimeout = 300;
        double attachTimeout = 180;
        double detachTimeout = 120;
        double checkPasswordTimeout = 180;
        double changePasswordTimeout = 120;
        double infoTimeout = 30;
        double lsofTimeout = 10;
        double diskutilProbeTimeout = 15;
    };

    // One entity of the tool's property lists ("system-entities"): the text
    // values the driver reads; a key that is missing or not text is empty.
    struct Entity {
        std::optional<std::string> devEntry;    // "dev-entry"
        std::optional<std::string> contentHint; // "content-hint"
        std::optional<std::string> mountPoint;  // "mount-point"
    };

    HdiutilDiskImage();
    explicit HdiutilDiskImage(Options options);

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
    std::string canonical(const std::string& path) override { return canonicalPath(path); }

    // Whether diskutil has an image command: probed once per driver on first
    // use (concurrent first callers wait for the one probe).
    bool hasDiskutilImage();

    // ---- Pure parts (no tools run) ----

    // The device to detach and the mount points, from the tool's entities:
    // the first entity hinted "GUID_partition_scheme", else the whole disk
    // (/dev/disk<digits>) with the smallest number. None when nothing
    // qualifies.
    static std::optional<Attachment> parseEntities(const std::vector<Entity>& entities);

    // The top-level "system-entities" of a property list (what `attach -plist`
    // prints), XML or binary. An unreadable list or property list is empty.
    static std::vector<Entity> entitiesOfAttachPlist(const Bytes& plist);

    // The attachment of `imagePath` in the attachment table printed by
    // `info -plist` (XML or binary): the first image whose canonical
    // "image-path" equals the image's canonical path.
    static std::optional<Attachment> attachmentFromInfoPlist(const Bytes& plist,
                                                             const std::string& imagePath);

    // Command names from `lsof -Fc` output, duplicates dropped, first seen
    // first.
    static std::vector<std::string> parseLsofCommands(std::string_view output);

    // The mount point (escapes undone) of the mount with this id in a mount
    // table in the format of /proc/self/mountinfo.
    static std::optional<std::string> mountPointInTable(std::string_view mountinfo, std::uint64_t mountId);

    // The real path if it resolves, else the path made absolute with "." and
    // ".." resolved and repeated slashes collapsed (no symbolic links
    // followed).
    static std::string canonicalPath(const std::string& path);
    static std::string standardisedPath(const std::string& path);

private:
    Options options_;
    std::once_flag diskutilProbeOnce_;
    bool hasDiskutilImage_ = false;
};

} // namespace vaultkit
