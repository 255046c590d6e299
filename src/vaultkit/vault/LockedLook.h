#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// The look of a locked vault's visible folder P in the file managers, the part
// that needs no drawing: P read-only (0555), the locked icon for both families
// of file managers (a ".directory" file in P with "[Desktop Entry]" and
// "Icon=" the icon, read by Dolphin; the GIO attribute metadata::custom-icon
// of P, the icon's file URI, set with gio and kept by the GIO metadata service
// outside the folder, read by GNOME Files and others) and one link in P that
// opens the application. The application draws the icon and calls this
// (FolderLook); the command-line tool calls it with the icon the application
// left in its support folder.
//
// Nothing here throws: what could not be done is returned as texts for the
// log, and never changes the vault's state. Every operation is idempotent.
class LockedLook {
public:
    LockedLook() = delete;

    // The desktop entry the launcher link points to: the application's id.
    static constexpr const char* desktopFileName = "app.hushcoffer.Hushcoffer.desktop";
    // Name of the rendered locked icon in the support folder.
    static constexpr const char* iconFileName = "locked-folder.png";
    // What the Dolphin file manager reads in a folder.
    static constexpr const char* directoryFileName = ".directory";
    static constexpr const char* gioTool = "/usr/bin/gio";
    static constexpr const char* customIconAttribute = "metadata::custom-icon";

    struct Settings {
        // The icon (a PNG); empty: no icon is set.
        std::string iconFile;
        // The launcher link's destination; empty: no link is made, and links
        // of earlier runs stay.
        std::string desktopFile;
        // The link's name (one path component).
        std::string launcherName;
        std::string gioProgram = gioTool;
        double gioTimeLimit = 10;
    };

    // The locked look on `folder`:
    //  1. nothing to do when it does not exist (a removed folder is not made
    //     again) or is not a folder (a file or a link keeps its mode);
    //  2. it is made writable (0755); when that fails, nothing else happens;
    //  3. from here on it always ends at 0555;
    //  4. the icon: the .directory file and the GIO custom icon;
    //  5. with a desktop file: links in it to a desktop entry or application
    //     bundle are removed, and one link named launcherName to the desktop
    //     entry is made.
    // The caller makes sure `folder` is not a mount point. Returns problems.
    static std::vector<std::string> applyLocked(const std::filesystem::path& folder,
                                                const Settings& settings);

    // The unlocked look: the GIO custom icon of `folder` (the open volume) is
    // removed (GIO keeps it by path, so the locked icon would show on the
    // volume). Returns problems.
    static std::vector<std::string> applyUnlocked(const std::filesystem::path& folder,
                                                  const std::string& gioProgram = gioTool,
                                                  double gioTimeLimit = 10);

    // The Icon= line's value escaped as desktop entries require.
    static std::string escapeDesktopValue(std::string_view value);
    // The file URI of an absolute path, percent-encoded (RFC 3986).
    static std::string fileUri(std::string_view path);

    // The installed desktop entry of `program`, or none: the first
    // "applications/app.hushcoffer.Hushcoffer.desktop" under $XDG_DATA_HOME
    // (~/.local/share) and then $XDG_DATA_DIRS (/usr/local/share:/usr/share),
    // accepted only when its Exec= program resolves to `program` (a canonical
    // path).
    static std::optional<std::string> installedDesktopFile(const std::string& program);
    // The program of a desktop entry's Exec= value: its first word, unquoted,
    // after an "env" and its VAR=value words.
    static std::string execProgram(std::string_view exec);
};

} // namespace vaultkit
