#pragma once

#include "vaultkit/diskimage/DiskImage.h"

#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace uitest {

// A disk-image driver without disks, for the window tests: an image opens
// with one password and is then "mounted" on its mount point (nothing is
// mounted really; isMountPoint answers from this table). A volume can be made
// busy, and can be unmounted from outside (as by hand). Thread-safe: the
// model calls it from its workers.
class MemoryDiskImage final : public vaultkit::DiskImage {
public:
    explicit MemoryDiskImage(std::string password)
        : password_(std::move(password)) {}

    // The processes a plain detach names as holding the volume; none: not busy.
    void setBusy(std::optional<std::vector<std::string>> names);
    // The volume on `mountPoint` goes away without the vault knowing.
    void unmountByHand(const std::filesystem::path& mountPoint);
    int attachCalls() const;
    // The volume on `mountPoint` stays mounted but nothing serves it any
    // more (its daemon was killed): mountStates() says stale until a detach.
    void killDaemon(const std::filesystem::path& mountPoint);
    // The mode the last attach was given.
    std::optional<MountMode> lastMode() const;

    std::string imageName() const override { return "data.memory"; }
    std::vector<std::string> readmeHowToOpen() const override { return {"", "", "", ""}; }
    void create(const std::filesystem::path&, const std::string&, const std::string&) override {}
    void attach(const std::filesystem::path& image, const std::string& password,
                const std::filesystem::path& mountPoint, MountMode mode = MountMode::shared) override;
    void detach(const std::string& device, bool force) override;
    bool checkPassword(const std::filesystem::path&, const std::string& password) override;
    void changePassword(const std::filesystem::path&, const std::string& oldPassword,
                        const std::string& newPassword) override;
    std::optional<Attachment> attachment(const std::filesystem::path& image) override;
    std::vector<std::string> busyProcesses(const std::filesystem::path&) override;
    bool isMountPoint(const std::filesystem::path& path) override;
    std::vector<MountState> mountStates(const std::vector<std::filesystem::path>& paths) override;
    std::string canonical(const std::string& path) override { return path; }

private:
    mutable std::mutex mutex_;
    std::string password_;
    std::map<std::string, std::string> mounted_; // image -> mount point
    std::optional<std::vector<std::string>> busy_;
    int attachCalls_ = 0;
    std::set<std::string> dead_; // mount points whose daemon is gone
    std::optional<MountMode> lastMode_;
};

} // namespace uitest
