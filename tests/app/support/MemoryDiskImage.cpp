#include "support/MemoryDiskImage.h"

#include "vaultkit/error/VaultError.h"

namespace uitest {

void MemoryDiskImage::setBusy(std::optional<std::vector<std::string>> names) {
    std::lock_guard lock(mutex_);
    busy_ = std::move(names);
}

void MemoryDiskImage::unmountByHand(const std::filesystem::path& mountPoint) {
    std::lock_guard lock(mutex_);
    std::erase_if(mounted_, [&](const auto& entry) { return entry.second == mountPoint.string(); });
}

void MemoryDiskImage::killDaemon(const std::filesystem::path& mountPoint) {
    std::lock_guard lock(mutex_);
    dead_.insert(mountPoint.string());
}

std::optional<vaultkit::DiskImage::MountMode> MemoryDiskImage::lastMode() const {
    std::lock_guard lock(mutex_);
    return lastMode_;
}

std::vector<vaultkit::DiskImage::MountState>
MemoryDiskImage::mountStates(const std::vector<std::filesystem::path>& paths) {
    std::vector<MountState> states;
    for (const bool mounted : areMountPoints(paths)) states.push_back(mounted ? MountState::mounted : MountState::notMounted);
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (states[i] == MountState::mounted && dead_.count(paths[i].string())) states[i] = MountState::stale;
    return states;
}

int MemoryDiskImage::attachCalls() const {
    std::lock_guard lock(mutex_);
    return attachCalls_;
}

void MemoryDiskImage::attach(const std::filesystem::path& image, const std::string& password,
                             const std::filesystem::path& mountPoint, MountMode mode) {
    std::lock_guard lock(mutex_);
    ++attachCalls_;
    lastMode_ = mode;
    if (password != password_) throw vaultkit::VaultError::wrongPassword();
    mounted_[image.string()] = mountPoint.string();
}

void MemoryDiskImage::detach(const std::string& device, bool force) {
    std::lock_guard lock(mutex_);
    if (busy_ && !force) throw vaultkit::VaultError::busy(*busy_);
    std::erase_if(mounted_, [&](const auto& entry) { return entry.second == device; });
    dead_.erase(device);
}

bool MemoryDiskImage::checkPassword(const std::filesystem::path&, const std::string& password) {
    std::lock_guard lock(mutex_);
    return password == password_;
}

void MemoryDiskImage::changePassword(const std::filesystem::path&, const std::string& oldPassword,
                                     const std::string& newPassword) {
    std::lock_guard lock(mutex_);
    if (oldPassword != password_) throw vaultkit::VaultError::wrongPassword();
    password_ = newPassword;
}

std::optional<vaultkit::DiskImage::Attachment>
MemoryDiskImage::attachment(const std::filesystem::path& image) {
    std::lock_guard lock(mutex_);
    auto it = mounted_.find(image.string());
    if (it == mounted_.end()) return std::nullopt;
    return Attachment{it->second, {it->second}};
}

std::vector<std::string> MemoryDiskImage::busyProcesses(const std::filesystem::path&) {
    std::lock_guard lock(mutex_);
    return busy_.value_or(std::vector<std::string>{});
}

bool MemoryDiskImage::isMountPoint(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    for (const auto& [image, mp] : mounted_)
        if (mp == path.string()) return true;
    return false;
}

} // namespace uitest
