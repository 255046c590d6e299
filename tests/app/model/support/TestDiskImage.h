#pragma once

#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/error/VaultError.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace modeltest {

// A driver that passes everything on to a real one, and can make a volume
// look busy (a plain detach fails with busy, naming chosen processes), make
// attach take longer, and run a hook before each detach. Counts the calls
// the tests look at. Thread-safe.
class TestDiskImage final : public vaultkit::DiskImage {
public:
    explicit TestDiskImage(std::shared_ptr<vaultkit::DiskImage> inner)
        : inner_(std::move(inner)) {}

    // Mount points whose plain (not forced) detach fails as busy.
    void setBusy(const std::string& mountPoint, std::optional<std::vector<std::string>> names);
    void clearBusy();
    std::atomic<int> attachDelayMs{0};
    // The next password changes fail (as the tool would).
    std::atomic<bool> failPasswordChange{false};
    void onDetach(std::function<void(const std::string& device, bool force)> hook);
    void onAttach(std::function<void(const std::filesystem::path& mountPoint)> hook);

    std::atomic<int> forcedDetaches{0};
    std::atomic<int> plainDetaches{0};
    std::atomic<int> passwordChanges{0};
    std::atomic<int> attaches{0};

    std::string imageName() const override { return inner_->imageName(); }
    std::vector<std::string> readmeHowToOpen() const override { return inner_->readmeHowToOpen(); }
    void create(const std::filesystem::path& image, const std::string& password,
                const std::string& volumeName) override {
        inner_->create(image, password, volumeName);
    }
    void attach(const std::filesystem::path& image, const std::string& password,
                const std::filesystem::path& mountPoint, MountMode mode = MountMode::shared) override;
    void detach(const std::string& device, bool force) override;
    bool checkPassword(const std::filesystem::path& image, const std::string& password) override {
        return inner_->checkPassword(image, password);
    }
    void changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                        const std::string& newPassword) override {
        ++passwordChanges;
        if (failPasswordChange) throw vaultkit::VaultError::hdiutil("passwd", "refused");
        inner_->changePassword(image, oldPassword, newPassword);
    }
    std::optional<Attachment> attachment(const std::filesystem::path& image) override {
        return inner_->attachment(image);
    }
    std::vector<std::string> busyProcesses(const std::filesystem::path& mountPoint) override;
    // Each call is one look at the mount state.
    std::atomic<int> mountStateReads{0};
    bool isMountPoint(const std::filesystem::path& path) override {
        ++mountStateReads;
        return inner_->isMountPoint(path);
    }
    std::vector<bool> areMountPoints(const std::vector<std::filesystem::path>& paths) override {
        ++mountStateReads;
        return inner_->areMountPoints(paths);
    }
    std::vector<MountState> mountStates(const std::vector<std::filesystem::path>& paths) override {
        ++mountStateReads;
        return inner_->mountStates(paths);
    }
    std::string canonical(const std::string& path) override { return inner_->canonical(path); }

private:
    std::shared_ptr<vaultkit::DiskImage> inner_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::optional<std::vector<std::string>>>> busy_;
    std::function<void(const std::string&, bool)> hook_;
    std::function<void(const std::filesystem::path&)> attachHook_;
};

} // namespace modeltest
