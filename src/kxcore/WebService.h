#pragma once

#include "kxcore/ProductInfo.h"

#include <QString>
#include <QUrl>

namespace kxcore {

// The maker's web service: one base address for telemetry, feedback and the
// update check. The base is the environment variable KX_SERVICE_BASE when it
// is set (even to an empty text), else the product description's "service".
//
// A base is used only when it is an https:// address with a host, or an
// http:// address on this computer (127.0.0.1, ::1, localhost; for tests).
// Any other base, or an empty one, counts as no service: then telemetry drops
// its events, feedback offers only e-mail, and an update check fails.
class WebService {
public:
    static constexpr const char* telemetryPath = "/api/app_logs";
    static constexpr const char* feedbackPath = "/api/feedback";
    static constexpr const char* productsPath = "/api/products"; // + "/{id}/version"
    static constexpr const char* environmentVariable = "KX_SERVICE_BASE";

    // The base as configured, before the checks above.
    static QString configuredBase(const ProductInfo& product);
    static bool isUsableBase(const QUrl& base);
    // The usable base, or an empty URL when there is none.
    static QUrl base(const ProductInfo& product);
    static bool isAvailable(const ProductInfo& product) { return !base(product).isEmpty(); }
    // `path` (starting with "/") on the service, or an empty URL.
    static QUrl endpoint(const ProductInfo& product, const QString& path);
    // `path` appended to `base` (whose own path is kept, without a trailing
    // slash); an empty base gives an empty URL.
    static QUrl join(const QUrl& base, const QString& path);
};

} // namespace kxcore
