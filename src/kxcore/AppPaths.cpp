#include "kxcore/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxcore {

namespace {

QString xdgDir(const char* variable, const char* fallback) {
    QString value = qEnvironmentVariable(variable);
    // Relative paths are invalid for the XDG variables and are ignored.
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) return QDir::cleanPath(value);
    return QDir::cleanPath(AppPaths::home() + QLatin1Char('/') + QLatin1String(fallback));
}

} // namespace

AppPaths::AppPaths(const QString& bundleID, const QString& displayName, const std::optional<QString>& base) {
    QString dataRoot = base ? *base : dataHome();
    QString logRoot = base ? *base : stateHome();
    supportDir_ = QDir::cleanPath(dataRoot + QLatin1Char('/') + bundleID);
    logsDir_ = QDir::cleanPath(logRoot + QLatin1Char('/') + displayName);
    makeOwnerOnlyPath(supportDir_);
    makeOwnerOnlyPath(logsDir_);
}

QString AppPaths::home() {
    QString h = qEnvironmentVariable("HOME");
    if (!h.isEmpty()) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return QString::fromLocal8Bit(pw->pw_dir);
    return QDir::rootPath();
}

QString AppPaths::dataHome() {
    return xdgDir("XDG_DATA_HOME", ".local/share");
}
QString AppPaths::stateHome() {
    return xdgDir("XDG_STATE_HOME", ".local/state");
}
QString AppPaths::configHome() {
    return xdgDir("XDG_CONFIG_HOME", ".config");
}

bool AppPaths::makeOwnerOnlyPath(const QString& dir) {
    QString path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    // Walk down from the root, creating what is missing.
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    for (const QString& part : parts) {
        current += QLatin1Char('/') + part;
        QByteArray native = QFile::encodeName(current);
        if (::mkdir(native.constData(), 0700) == 0) {
            // The new folder's entry reaches the disk with its parent.
            const QByteArray parent = QFile::encodeName(QFileInfo(current).path());
            const int fd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                ::fsync(fd);
                ::close(fd);
            }
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return QFileInfo(path).isDir();
}

} // namespace kxcore
