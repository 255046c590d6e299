#pragma once

#include "kxcore/HTTPFetching.h"
#include "kxcore/UpdateInfo.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace kxcore {

struct ProductInfo;

class UpdateChecker {
public:
    // The base of the version request on the web service
    // (<service>/api/products); empty when no service is configured.
    static QUrl productsBase(const ProductInfo& product);

    // GETs <base>/<productID>/version once and calls `done` with the decoded
    // reply; none for an empty base, a failed request, a status other than
    // 200, or a reply that does not decode.
    static void latest(const QString& productID, HTTPFetching& fetcher, const QUrl& base,
                       std::function<void(std::optional<UpdateInfo>)> done);

    // Whether version `a` is newer than `b`: both split at "." (empty pieces
    // dropped) into decimal numbers, compared from the left with missing
    // pieces counting as 0. A version with a piece that is not a number, or
    // with no pieces, is never newer, and nothing is newer than it.
    static bool isNewer(const QString& a, const QString& b);
};

} // namespace kxcore
