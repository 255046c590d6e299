#include "kxcore/KXLinks.h"

#include "kxcore/WebService.h"

#include <QUrlQuery>

namespace kxcore::KXLinks {

QUrl withCampaign(const QUrl& url, const QString& source, const QString& campaign) {
    QUrl out = url;
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("utm_source"), QString::fromLatin1(QUrl::toPercentEncoding(source)));
    query.addQueryItem(QStringLiteral("utm_campaign"),
                       QString::fromLatin1(QUrl::toPercentEncoding(campaign)));
    out.setQuery(query);
    return out;
}

QUrl homepage(const ProductInfo& product, const QString& campaign) {
    return withCampaign(product.homepage, product.id, campaign);
}

QUrl page(const ProductInfo& product, const QString& path, const QString& campaign) {
    return withCampaign(WebService::join(product.website, path), product.id, campaign);
}

} // namespace kxcore::KXLinks
