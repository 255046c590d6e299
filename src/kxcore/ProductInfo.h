#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <stdexcept>

namespace kxcore {

// The description of the running product, read from "product.json" in the
// application's resource bundle (Hushcoffer_Hushcoffer.bundle). The JSON keys
// equal the field names; every field but `needs` must be present with the
// right type.
//
// Beside the description the same file names the maker's two addresses:
//   "website": the web site whose pages (privacy, terms) the windows link to;
//              when absent, the home page's scheme and host.
//   "service": the HTTPS base of the maker's web service (telemetry, feedback,
//              update check); empty or absent means nothing is ever sent.
//              The environment variable KX_SERVICE_BASE overrides it (see
//              WebService).
struct ProductInfo {
    QString id;           // used in service paths and as the link source
    QString displayName;  // the name users see
    QString bundleID;     // "app.hushcoffer.Hushcoffer"
    QString version;      // dotted decimal
    QString build;        // build number
    QString minOS;        // lowest supported system
    QString category;     // product category
    QString supportEmail; // the e-mail fallback of feedback
    QUrl homepage;
    bool needsAdmin = false;
    QString iconSymbol;
    QString iconColor; // "#RRGGBB"
    std::optional<QStringList> needs;

    QUrl website;
    QString service;

    bool operator==(const ProductInfo&) const = default;

    class LoadError : public std::runtime_error {
    public:
        enum class Kind { missing, unreadable, invalid };
        LoadError(Kind kind, const std::string& what)
            : std::runtime_error(what)
            , kind_(kind) {}
        Kind kind() const noexcept { return kind_; }

    private:
        Kind kind_;
    };

    static constexpr const char* resourceName = "product.json";
    static constexpr const char* bundleName = "Hushcoffer_Hushcoffer";

    // Decodes a description; throws LoadError (invalid) naming the first bad key.
    static ProductInfo decode(const QByteArray& json);
    // "product.json" in the bundle folder `bundleDir`: a missing file throws
    // LoadError (missing), a read or decoding failure LoadError (unreadable,
    // invalid).
    static ProductInfo load(const QString& bundleDir);
    // The shipped description: "product.json" of the application's resource
    // bundle, found where the texts are found (KXResourceBundle). A bundle
    // that cannot be found throws LoadError (missing).
    static ProductInfo loadShipped();
};

} // namespace kxcore
