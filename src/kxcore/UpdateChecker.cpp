#include "kxcore/UpdateChecker.h"

#include "kxcore/ProductInfo.h"
#include "kxcore/WebService.h"

#include <QStringList>

#include <vector>

namespace kxcore {

namespace {

std::optional<std::vector<unsigned long long>> pieces(const QString& version) {
    std::vector<unsigned long long> out;
    for (const QString& piece : version.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        for (QChar c : piece)
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
        bool ok = false;
        unsigned long long n = piece.toULongLong(&ok);
        if (!ok) return std::nullopt;
        out.push_back(n);
    }
    if (out.empty()) return std::nullopt;
    return out;
}

} // namespace

QUrl UpdateChecker::productsBase(const ProductInfo& product) {
    return WebService::endpoint(product, QLatin1String(WebService::productsPath));
}

void UpdateChecker::latest(const QString& productID, HTTPFetching& fetcher, const QUrl& base,
                           std::function<void(std::optional<UpdateInfo>)> done) {
    if (base.isEmpty() || productID.isEmpty()) {
        done(std::nullopt);
        return;
    }
    QUrl url = WebService::join(base, QLatin1Char('/') + productID + QStringLiteral("/version"));
    fetcher.get(url, [done = std::move(done)](std::optional<HTTPFetching::Response> response) {
        if (!response || response->status != 200) {
            done(std::nullopt);
            return;
        }
        done(UpdateInfo::decode(response->body));
    });
}

bool UpdateChecker::isNewer(const QString& a, const QString& b) {
    auto pa = pieces(a), pb = pieces(b);
    if (!pa || !pb) return false;
    const size_t n = std::max(pa->size(), pb->size());
    for (size_t i = 0; i < n; ++i) {
        unsigned long long x = i < pa->size() ? (*pa)[i] : 0, y = i < pb->size() ? (*pb)[i] : 0;
        if (x != y) return x > y;
    }
    return false;
}

} // namespace kxcore
