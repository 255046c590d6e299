#pragma once

#include <filesystem>
#include <optional>

namespace vaultkit {

// The folder of this user's application data that the window and the
// command-line tool share: the registry (vaults.json), the third copies of
// vault records (backups/), this computer's choices per vault and the locked
// icon.
class SupportFolder {
public:
    SupportFolder() = delete;

    // The application's id: the name of its data folder, of its desktop
    // entry and of its names on the bus.
    static constexpr const char* appID = "app.hushcoffer.Hushcoffer";

    // $HC_SUPPORT_DIR when it is set and not empty, made absolute (a
    // relative value against the working folder), else nothing.
    static std::optional<std::filesystem::path> fromEnvironment();
    // $XDG_DATA_HOME when it holds an absolute path, else the home folder +
    // ".local/share" (the home: $HOME when not empty, else the account's).
    static std::filesystem::path dataHome();
    // fromEnvironment(), else dataHome() + appID. Read from the environment on
    // every call; never made here.
    static std::filesystem::path path();
};

} // namespace vaultkit
