#include "kxcore/UpdateInfo.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace kxcore {

std::optional<UpdateInfo> UpdateInfo::decode(const QByteArray& json) {
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();

    bool ok = true;
    auto optionalText = [&](const char* key) -> std::optional<QString> {
        QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined() || v.isNull()) return std::nullopt;
        if (!v.isString()) ok = false;
        return v.toString();
    };
    UpdateInfo info;
    QJsonValue version = o.value(QLatin1String("version"));
    if (!version.isString()) return std::nullopt;
    info.version = version.toString();
    info.id = optionalText("id");
    info.minOS = optionalText("min_os");
    info.downloadURL = optionalText("download_url");
    info.notes = optionalText("notes");
    if (!ok) return std::nullopt;
    return info;
}

} // namespace kxcore
