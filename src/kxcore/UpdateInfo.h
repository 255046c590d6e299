#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kxcore {

// The web service's answer to "which version is the newest":
//   {"id": ..., "version": "1.2.0", "min_os": ..., "download_url": ..., "notes": ...}
// Only "version" is required; a key that is present must hold a text (or null).
struct UpdateInfo {
    std::optional<QString> id;
    QString version;
    std::optional<QString> minOS;       // "min_os"
    std::optional<QString> downloadURL; // "download_url"
    std::optional<QString> notes;

    bool operator==(const UpdateInfo&) const = default;

    // None when `json` is not such an object.
    static std::optional<UpdateInfo> decode(const QByteArray& json);
};

} // namespace kxcore
