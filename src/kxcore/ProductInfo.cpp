#include "kxcore/ProductInfo.h"

#include "kxstrings/KXResourceBundle.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kxcore {

namespace {

using Kind = ProductInfo::LoadError::Kind;

[[noreturn]] void invalid(const QString& what) {
    throw ProductInfo::LoadError(Kind::invalid, "product description: " + what.toStdString());
}

QString text(const QJsonObject& o, const char* key) {
    QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined()) invalid(QStringLiteral("missing key \"%1\"").arg(QLatin1String(key)));
    if (!v.isString()) invalid(QStringLiteral("\"%1\" is not a text").arg(QLatin1String(key)));
    return v.toString();
}

QUrl webAddress(const QString& value, const char* key) {
    QUrl url(value, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        invalid(QStringLiteral("\"%1\" is not a web address").arg(QLatin1String(key)));
    return url;
}

} // namespace

ProductInfo ProductInfo::decode(const QByteArray& json) {
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) invalid(error.errorString());
    if (!doc.isObject()) invalid(QStringLiteral("not a JSON object"));
    QJsonObject o = doc.object();

    ProductInfo p;
    p.id = text(o, "id");
    p.displayName = text(o, "displayName");
    p.bundleID = text(o, "bundleID");
    p.version = text(o, "version");
    p.build = text(o, "build");
    p.minOS = text(o, "minOS");
    p.category = text(o, "category");
    p.supportEmail = text(o, "supportEmail");
    p.homepage = webAddress(text(o, "homepage"), "homepage");
    QJsonValue admin = o.value(QLatin1String("needsAdmin"));
    if (!admin.isBool()) invalid(QStringLiteral("\"needsAdmin\" is missing or not a Boolean"));
    p.needsAdmin = admin.toBool();
    p.iconSymbol = text(o, "iconSymbol");
    p.iconColor = text(o, "iconColor");
    if (QJsonValue needs = o.value(QLatin1String("needs")); !needs.isUndefined() && !needs.isNull()) {
        if (!needs.isArray()) invalid(QStringLiteral("\"needs\" is not a list"));
        QStringList list;
        for (const QJsonValue& item : needs.toArray()) {
            if (!item.isString()) invalid(QStringLiteral("\"needs\" holds something other than texts"));
            list << item.toString();
        }
        p.needs = list;
    }

    if (o.contains(QLatin1String("website")))
        p.website = webAddress(text(o, "website"), "website");
    else
        p.website = p.homepage.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (o.contains(QLatin1String("service"))) p.service = text(o, "service").trimmed();
    return p;
}

ProductInfo ProductInfo::load(const QString& bundleDir) {
    QFile file(bundleDir + QLatin1Char('/') + QLatin1String(resourceName));
    if (!file.exists())
        throw LoadError(Kind::missing, "no " + std::string(resourceName) + " in " + bundleDir.toStdString());
    if (!file.open(QIODevice::ReadOnly))
        throw LoadError(Kind::unreadable,
                        file.fileName().toStdString() + ": " + file.errorString().toStdString());
    return decode(file.readAll());
}

ProductInfo ProductInfo::loadShipped() {
    auto bundle = KXResourceBundle::find(bundleName);
    if (!bundle) throw LoadError(Kind::missing, "unable to find bundle named " + std::string(bundleName));
    return load(QString::fromStdString(bundle->dir().string()));
}

} // namespace kxcore
