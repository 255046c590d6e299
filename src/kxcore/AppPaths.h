#pragma once

#include <QString>

#include <optional>

namespace kxcore {

// The application's own folders.
//   supportDir: its data (device.json; the application keeps its registry and
//               record copies here too): $XDG_DATA_HOME/<bundle identifier>,
//               by default ~/.local/share/<bundle identifier>.
//   logsDir:    its log (app.log, app.log.1): $XDG_STATE_HOME/<display name>,
//               by default ~/.local/state/<display name>.
// With `base` both live directly in that folder instead (for tests).
//
// Construction creates both folders with every missing parent, each new
// folder readable by its owner only (0700); failures are ignored (later
// writes into them then fail on their own).
class AppPaths {
public:
    AppPaths(const QString& bundleID, const QString& displayName,
             const std::optional<QString>& base = std::nullopt);

    const QString& supportDir() const noexcept { return supportDir_; }
    const QString& logsDir() const noexcept { return logsDir_; }
    QString deviceFile() const { return supportDir_ + QStringLiteral("/device.json"); }
    QString logFile() const { return logsDir_ + QStringLiteral("/app.log"); }

    // The XDG base folders, read from the environment on every call: the
    // variable when it holds an absolute path, else the default below $HOME.
    static QString dataHome();   // $XDG_DATA_HOME or ~/.local/share
    static QString stateHome();  // $XDG_STATE_HOME or ~/.local/state
    static QString configHome(); // $XDG_CONFIG_HOME or ~/.config
    static QString home();       // $HOME, else the account's home folder

    // Creates `dir` and its missing parents with mode 0700; returns whether
    // the folder exists afterwards.
    static bool makeOwnerOnlyPath(const QString& dir);

private:
    QString supportDir_;
    QString logsDir_;
};

} // namespace kxcore
