#pragma once

#include <QString>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What the file managers read of a folder's look, read back the way they do.
namespace folderlookprobe {

// The Icon= value of <folder>/.directory's [Desktop Entry] group (Dolphin),
// or none when there is no such file or line.
std::optional<QString> directoryIcon(const QString& folder);

// The GIO attribute metadata::custom-icon of `folder` as `gio info` reports
// it (GNOME Files), or none when it is not set.
std::optional<QString> gioCustomIcon(const QString& folder);

// The permission bits of a path (links not followed); -1 when missing.
int modeOf(const QString& path);

// The symbolic links in `folder` whose destination ends with ".desktop" or
// ".app", as "name -> destination", sorted.
std::vector<std::string> launcherLinks(const QString& folder);

// Collects the log's entries while it lives (the system-log mirror).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> errors() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> errors_;
};

} // namespace folderlookprobe
