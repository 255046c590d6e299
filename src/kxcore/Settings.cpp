#include "kxcore/Settings.h"

#include "kxcore/AppPaths.h"

#include <QFileInfo>
#include <QSettings>

namespace kxcore {

Settings::Settings()
    : Settings(standardFile()) {}

Settings::Settings(const QString& file)
    : settings_(std::make_unique<QSettings>(file, QSettings::IniFormat)) {}

Settings::~Settings() = default;

QString Settings::standardFile() {
    return AppPaths::configHome() + QStringLiteral("/hushcoffer/hushcoffer.ini");
}

QString Settings::file() const {
    return settings_->fileName();
}

bool Settings::contains(const QString& key) const {
    return settings_->contains(key);
}

bool Settings::boolValue(const QString& key, bool defaultValue) const {
    QVariant v = settings_->value(key);
    if (v.typeId() == QMetaType::Bool) return v.toBool();
    if (v.typeId() == QMetaType::QString) {
        QString s = v.toString();
        if (s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
        if (s.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return false;
    }
    return defaultValue;
}

std::optional<int> Settings::intValue(const QString& key) const {
    QVariant v = settings_->value(key);
    if (v.typeId() == QMetaType::Int || v.typeId() == QMetaType::LongLong) return v.toInt();
    if (v.typeId() == QMetaType::QString) {
        bool ok = false;
        int n = v.toString().trimmed().toInt(&ok);
        if (ok) return n;
    }
    return std::nullopt;
}

std::optional<QString> Settings::stringValue(const QString& key) const {
    QVariant v = settings_->value(key);
    if (v.typeId() == QMetaType::QString) return v.toString();
    return std::nullopt;
}

std::optional<QStringList> Settings::stringListValue(const QString& key) const {
    QVariant v = settings_->value(key);
    if (v.typeId() == QMetaType::QStringList) return v.toStringList();
    if (v.typeId() == QMetaType::QString) return QStringList{v.toString()};
    return std::nullopt;
}

void Settings::written() {
    settings_->sync();
}

void Settings::setBool(const QString& key, bool value) {
    settings_->setValue(key, value);
    written();
}

void Settings::setInt(const QString& key, int value) {
    settings_->setValue(key, value);
    written();
}

void Settings::setString(const QString& key, const QString& value) {
    settings_->setValue(key, value);
    written();
}

void Settings::setStringList(const QString& key, const QStringList& value) {
    settings_->setValue(key, value);
    written();
}

void Settings::setRaw(const QString& key, const QVariant& value) {
    settings_->setValue(key, value);
    written();
}

void Settings::remove(const QString& key) {
    settings_->remove(key);
    written();
}

} // namespace kxcore
