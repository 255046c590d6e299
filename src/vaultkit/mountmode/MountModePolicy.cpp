#include "vaultkit/mountmode/MountModePolicy.h"

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

MountModePolicy::Explanation MountModePolicy::explain(const Decision& d) {
    const auto& s = d.synced;
    // Who keeps the folder in sync: the client, or the kind of file system.
    const std::string who = !s ? std::string() : s->kind == SyncedFolders::Finding::Kind::mount ? s->evidence : s->client;
    switch (d.choice) {
    case Choice::automatic:
        if (!s) return {"mountMode.why.local", {}};
        if (s->kind == SyncedFolders::Finding::Kind::mount) return {"mountMode.why.network", {who, s->root.string()}};
        return {"mountMode.why.synced", {who, s->root.string()}};
    case Choice::local:
        if (s) return {"mountMode.why.chosenLocalSynced", {who}};
        return {"mountMode.why.chosenLocal", {}};
    case Choice::shared:
        return {"mountMode.why.chosenShared", {}};
    }
    return {"mountMode.why.local", {}};
}

} // namespace vaultkit
