#include "model/support/TestDiskImage.h"

#include "vaultkit/error/VaultError.h"

#include <chrono>
#include <thread>

namespace modeltest {

void TestDiskImage::setBusy(const std::string& mountPoint, std::optional<std::vector<std::string>> names) {
    std::lock_guard lock(mutex_);
    busy_.emplace_back(inner_->canonical(mountPoint), std::move(names));
}

void TestDiskImage::clearBusy() {
    std::lock_guard lock(mutex_);
    busy_.clear();
}

void TestDiskImage::onDetach(std::function<void(const std::string&, bool)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

void TestDiskImage::onAttach(std::function<void(const std::filesystem::path&)> hook) {
    std::lock_guard lock(mutex_);
    attachHook_ = std::move(hook);
}

void TestDiskImage::attach(const std::filesystem::path& image, const std::string& password,
                           const std::filesystem::path& mountPoint, MountMode mode) {
    ++attaches;
    std::function<void(const std::filesystem::path&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = attachHook_;
    }
    if (hook) hook(mountPoint);
    if (int ms = attachDelayMs.load(); ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    inner_->attach(image, password, mountPoint, mode);
}

void TestDiskImage::detach(const std::string& device, bool force) {
    std::function<void(const std::string&, bool)> hook;
    bool busy = false;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
        const std::string key = inner_->canonical(device);
        for (const auto& b : busy_)
            if (b.first == key) busy = true;
    }
    if (hook) hook(device, force);
    (force ? forcedDetaches : plainDetaches)++;
    if (busy && !force) throw vaultkit::VaultError::busy({"held"});
    inner_->detach(device, force);
}

std::vector<std::string> TestDiskImage::busyProcesses(const std::filesystem::path& mountPoint) {
    {
        std::lock_guard lock(mutex_);
        const std::string key = inner_->canonical(mountPoint.string());
        for (const auto& b : busy_)
            if (b.first == key && b.second) return *b.second;
    }
    return inner_->busyProcesses(mountPoint);
}

} // namespace modeltest
