#pragma once

#include "vaultkit/diskimage/DiskImage.h"
#include "vaultkit/mountmode/SyncedFolders.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// How an unlocked vault is mounted, and why. A vault whose folder another
// program may change underneath (a sync client, a network drive) is mounted
// shared: gocryptfs then sees such changes at once and the kernel keeps no
// decrypted pages. Every other vault is mounted local, with the kernel's page
// cache (re-reads and listings many times faster). The user may override the
// automatic choice per vault, on this computer (VaultPreferences key
// "mountMode"); a change takes effect at the next unlock.
class MountModePolicy {
public:
    enum class Choice { automatic, local, shared };

    static constexpr std::string_view preferenceKey = "mountMode";

    // "automatic", "local", "shared" and back; nothing for any other text.
    static std::string_view name(Choice choice);
    static std::optional<Choice> parseChoice(std::string_view text);
    // "local", "shared".
    static std::string_view name(DiskImage::MountMode mode);

    struct Decision {
        Choice choice = Choice::automatic;
        DiskImage::MountMode mode = DiskImage::MountMode::local;
        // What the automatic choice found (looked for whatever the choice, so
        // that the user can be told when an override goes against it).
        std::optional<SyncedFolders::Finding> synced;
        friend bool operator==(const Decision&, const Decision&) = default;
    };
    static Decision decide(Choice choice, std::optional<SyncedFolders::Finding> synced);

    // How the decision is told to the user: the key of the text in the
    // application's tables ("mountMode.why.*") and the texts for its
    // placeholders (who syncs the folder, where).
    struct Explanation {
        std::string key;
        std::vector<std::string> args;
        friend bool operator==(const Explanation&, const Explanation&) = default;
    };
    static Explanation explain(const Decision& decision);

    // How the volume mounted on `mountPoint` is mounted now, from the
    // options its gocryptfs daemon was started with (-sharedstorage: shared,
    // otherwise local); nothing when no daemon of ours serves it.
    static std::optional<DiskImage::MountMode> ofMount(const std::filesystem::path& mountPoint);
    // The same from a daemon's command line (its arguments, NUL-separated).
    static DiskImage::MountMode ofDaemonArguments(std::string_view cmdline);
};

} // namespace vaultkit
