#include "vaultkit/diskimage/DiskImage.h"

#include "vaultkit/error/VaultError.h"

#include <iostream>
#include <mutex>

namespace vaultkit {

namespace {

std::mutex& defaultMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<DiskImage>& defaultSlot() {
    static std::shared_ptr<DiskImage> slot;
    return slot;
}

std::mutex& noticeMutex() {
    static std::mutex m;
    return m;
}

DiskImage::NoticeSink& noticeSlot() {
    static DiskImage::NoticeSink sink;
    return sink;
}

} // namespace

void DiskImage::setNoticeSink(NoticeSink sink) {
    std::lock_guard lock(noticeMutex());
    noticeSlot() = std::move(sink);
}

void DiskImage::notice(const std::string& line) {
    NoticeSink sink;
    {
        std::lock_guard lock(noticeMutex());
        sink = noticeSlot();
    }
    if (sink)
        sink(line);
    else
        std::cerr << "hushcoffer: " << line << '\n';
}

std::vector<bool> DiskImage::areMountPoints(const std::vector<std::filesystem::path>& paths) {
    std::vector<bool> answers;
    answers.reserve(paths.size());
    for (const auto& p : paths)
        answers.push_back(isMountPoint(p));
    return answers;
}

std::vector<DiskImage::MountState> DiskImage::mountStates(const std::vector<std::filesystem::path>& paths) {
    std::vector<MountState> states;
    states.reserve(paths.size());
    for (const bool mounted : areMountPoints(paths))
        states.push_back(mounted ? MountState::mounted : MountState::notMounted);
    return states;
}

DiskImage::DataCheck DiskImage::checkData(const std::filesystem::path& /*image*/,
                                          const std::string& /*password*/) {
    throw VaultError::hdiutil("check", "this kind of image cannot be checked");
}

std::optional<std::filesystem::path> DiskImage::mountControlSocket(const std::filesystem::path&) {
    return std::nullopt;
}

bool DiskImage::neverHeldData(const std::filesystem::path& /*image*/) {
    return false;
}

std::shared_ptr<DiskImage> DiskImage::platformDefault() {
    std::lock_guard lock(defaultMutex());
    auto& slot = defaultSlot();
    if (!slot) slot = makePlatformDriver();
    return slot;
}

void DiskImage::setPlatformDefault(std::shared_ptr<DiskImage> driver) {
    std::lock_guard lock(defaultMutex());
    defaultSlot() = std::move(driver);
}

} // namespace vaultkit
