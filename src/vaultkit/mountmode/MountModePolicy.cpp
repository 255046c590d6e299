#include "vaultkit/mountmode/MountModePolicy.h"

#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/diskimage/MountTable.h"

#include <fstream>
#include <iterator>

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
        if (s->kind == SyncedFolders::Finding::Kind::changes) return {"mountMode.why.changedWhileLocked", {}};
        return {"mountMode.why.synced", {who, s->root.string()}};
    case Choice::local:
        if (s && s->kind == SyncedFolders::Finding::Kind::changes) return {"mountMode.why.chosenLocal", {}};
        if (s) return {"mountMode.why.chosenLocalSynced", {who}};
        return {"mountMode.why.chosenLocal", {}};
    case Choice::shared:
        return {"mountMode.why.chosenShared", {}};
    }
    return {"mountMode.why.local", {}};
}

DiskImage::MountMode MountModePolicy::ofDaemonArguments(std::string_view cmdline) {
    for (std::size_t pos = 0; pos < cmdline.size();) {
        std::size_t end = cmdline.find('\0', pos);
        if (end == std::string_view::npos) end = cmdline.size();
        if (cmdline.substr(pos, end - pos) == "-sharedstorage") return DiskImage::MountMode::shared;
        pos = end + 1;
    }
    return DiskImage::MountMode::local;
}

std::optional<DiskImage::MountMode> MountModePolicy::ofMount(const std::filesystem::path& mountPoint) {
    for (const auto& e : MountTable::read()) {
        if (e.mountPoint != mountPoint.string()) continue;
        for (const pid_t pid : GocryptfsDiskImage::daemonsServing(e)) {
            std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
            if (!in) continue;
            const std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return ofDaemonArguments(args);
        }
    }
    return std::nullopt;
}

} // namespace vaultkit
