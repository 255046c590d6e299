#include "kxcore/DeviceIdentity.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUuid>

namespace kxcore::DeviceIdentity {

QString anonymousID(const AppPaths& paths) {
    const QString file = paths.deviceFile();
    {
        QFile in(file);
        if (in.open(QIODevice::ReadOnly)) {
            QJsonDocument doc = QJsonDocument::fromJson(in.read(64 * 1024));
            QJsonValue id = doc.isObject() ? doc.object().value(QLatin1String("id")) : QJsonValue();
            if (id.isString() && !id.toString().isEmpty()) return id.toString();
        }
    }
    QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly)) {
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        out.write(QJsonDocument(QJsonObject{{QStringLiteral("id"), id}}).toJson(QJsonDocument::Compact));
        out.commit();
    }
    return id;
}

} // namespace kxcore::DeviceIdentity
