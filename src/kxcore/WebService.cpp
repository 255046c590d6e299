#include "kxcore/WebService.h"

#include "kxcore/Log.h"

#include <QHostAddress>

namespace kxcore {

QString WebService::configuredBase(const ProductInfo& product) {
    if (qEnvironmentVariableIsSet(environmentVariable))
        return qEnvironmentVariable(environmentVariable).trimmed();
    return product.service;
}

bool WebService::isUsableBase(const QUrl& base) {
    if (!base.isValid() || base.host().isEmpty() || !base.userInfo().isEmpty()) return false;
    if (base.hasQuery() || base.hasFragment()) return false;
    if (base.scheme() == QLatin1String("https")) return true;
    if (base.scheme() != QLatin1String("http")) return false;
    if (base.host() == QLatin1String("localhost")) return true;
    QHostAddress address(base.host());
    return !address.isNull() && address.isLoopback();
}

QUrl WebService::base(const ProductInfo& product) {
    QString configured = configuredBase(product);
    if (configured.isEmpty()) return {};
    QUrl url(configured, QUrl::StrictMode);
    if (!isUsableBase(url)) {
        static bool warned = false;
        if (!warned) {
            warned = true;
            Log::shared().warn("web service base is not an https address; nothing is sent: " +
                               configured.toStdString());
        }
        return {};
    }
    return url;
}

QUrl WebService::join(const QUrl& base, const QString& path) {
    if (base.isEmpty()) return {};
    QUrl url = base;
    QString basePath = url.path();
    while (basePath.endsWith(QLatin1Char('/')))
        basePath.chop(1);
    url.setPath(basePath + path);
    return url;
}

QUrl WebService::endpoint(const ProductInfo& product, const QString& path) {
    return join(base(product), path);
}

} // namespace kxcore
