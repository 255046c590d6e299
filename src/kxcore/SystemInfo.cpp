#include "kxcore/SystemInfo.h"

#include <QFile>
#include <QStringList>

#include <sys/utsname.h>

namespace kxcore::SystemInfo {

QString prettyNameFrom(const QString& osRelease) {
    const QStringList lines = osRelease.split(QLatin1Char('\n'));
    for (const QString& raw : lines) {
        QString line = raw.trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_NAME="))) continue;
        QString value = line.mid(int(qstrlen("PRETTY_NAME=")));
        if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
            value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
            // Shell-style escapes inside double quotes: \" \\ \$ \`
            QString unescaped;
            for (qsizetype i = 0; i < value.size(); ++i) {
                if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) ++i;
                unescaped += value[i];
            }
            value = unescaped;
        }
        return value.trimmed();
    }
    return {};
}

QString prettyName() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile f(QString::fromLatin1(path));
        if (!f.open(QIODevice::ReadOnly)) continue;
        QString name = prettyNameFrom(QString::fromUtf8(f.read(64 * 1024)));
        if (!name.isEmpty()) return name;
    }
    return QStringLiteral("Linux");
}

QString kernelRelease() {
    utsname u{};
    if (uname(&u) != 0) return {};
    return QString::fromLocal8Bit(u.release);
}

QString osVersion() {
    QString kernel = kernelRelease();
    return kernel.isEmpty() ? prettyName() : prettyName() + QStringLiteral(", Linux ") + kernel;
}

} // namespace kxcore::SystemInfo
