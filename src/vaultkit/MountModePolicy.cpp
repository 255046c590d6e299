#include "vaultkit/MountModePolicy.h"

namespace vaultkit {

std::string_view MountModePolicy::name(Choice choice) {
    switch (choice) {
    case Choice::automatic: return "automatic";
    case Choice::local: return "local";
    case Choice::shared: return "shared";
    }
    return "automatic";
}

std::optional<MountModePolicy::Choice> MountModePolicy::parseChoice(std::string_view text) {
    for (const Choice c : {Choice::automatic, Choice::local, Choice::shared})
        if (text == name(c)) return c;
    return std::nullopt;
}

std::string_view MountModePolicy::name(DiskImage::MountMode mode) {
    return mode == DiskImage::MountMode::shared ? "shared" : "local";
}

MountModePolicy::Decision MountModePolicy::decide(Choice choice, std::optional<SyncedFolders::Finding> synced) {
    Decision d;
    d.choice = choice;
    switch (choice) {
    case Choice::automatic: d.mode = synced ? DiskImage::MountMode::shared : DiskImage::MountMode::local; break;
    case Choice::local: d.mode = DiskImage::MountMode::local; break;
    case Choice::shared: d.mode = DiskImage::MountMode::shared; break;
    }
    d.synced = std::move(synced);
    return d;
}

} // namespace vaultkit
