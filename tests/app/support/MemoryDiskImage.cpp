#include "support/MemoryDiskImage.h"

#include "vaultkit/VaultError.h"

namespace uitest {

void MemoryDiskImage::setBusy(std::optional<std::vector<std::string>> names) {
    std::lock_guard lock(mutex_);
    busy_ = std::move(names);
}

void MemoryDiskImage::unmountByHand(const std::filesystem::path& mountPoint) {
    std::lock_guard lock(mutex_);
    std::erase_if(mounted_, [&](const auto& entry) { return entry.second == mountPoint.string(); });
}

int MemoryDiskImage::attachCalls() const {
    std::lock_guard lock(mutex_);
    return attachCalls_;
}

void MemoryDiskImage::attach(const std::filesystem::path& image, const std::string& password,
                             const std::filesystem::path& mountPoint, MountMode /*mode*/) {
    std::lock_guard lock(mutex_);
    ++attachCalls_;
    if (password != password_) throw vaultkit::VaultError::wrongPassword();
    mounted_[image.string()] = mountPoint.string();
}

void MemoryDiskImage::detach(const std::string& device, bool force) {
    std::lock_guard lock(mutex_);
    if (busy_ && !force) throw vaultkit::VaultError::busy(*busy_);
    std::erase_if(mounted_, [&](const auto& entry) { return entry.second == device; });
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
