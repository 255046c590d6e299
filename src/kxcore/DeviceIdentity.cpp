#include "kxcore/DeviceIdentity.h"

#include "kxcore/Log.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUuid>

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

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
    // An id that could not be saved stays this run's id, so that everything
    // this run sends carries one id rather than a new one each time.
    static std::mutex unsavedMutex;
    static QHash<QString, QString> unsaved;
    std::lock_guard lock(unsavedMutex);
    if (const auto kept = unsaved.constFind(file); kept != unsaved.constEnd()) return *kept;
    QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    QSaveFile out(file);
    bool saved = out.open(QIODevice::WriteOnly);
    if (saved) {
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        out.write(QJsonDocument(QJsonObject{{QStringLiteral("id"), id}}).toJson(QJsonDocument::Compact));
        saved = out.commit(); // flushes the file before renaming it
    }
    if (saved) {
        // The rename itself survives a power cut only with its folder flushed.
        const int dir = ::open(QFile::encodeName(QFileInfo(file).absolutePath()).constData(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    } else {
        Log::shared().warn("cannot save the device id to " + file.toStdString() + ": " +
                           out.errorString().toStdString());
        unsaved.insert(file, id);
    }
    return id;
}

} // namespace kxcore::DeviceIdentity
