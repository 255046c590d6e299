#pragma once

#include "kxcore/AppPaths.h"
#include "kxcore/ProductInfo.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <optional>

// The framework's context, made once at start and handed to every framework
// window (about, settings, feedback): the product description and the
// application's folders.
//
// Building it, in order:
//   1. the interface language is chosen (KXLanguage::applyAtStart);
//   2. the application's text bundle is registered for kx (a missing bundle
//      ends the program: "unable to find bundle named Hushcoffer_Hushcoffer");
//   3. the folders are made (AppPaths);
//   4. the log is pointed at "app.log" in the logs folder;
//   5. telemetry is configured (the "kx.telemetry" setting, the anonymous
//      device id, the maker's service) and records "daily_active"/"launch";
//   6. the log line "<displayName> <version> started" is written.
class KXContext : public QObject {
    Q_OBJECT
public:
    // `pathsBase`: both folders directly in this folder instead of the
    // user's data and state folders (tests).
    explicit KXContext(kxcore::ProductInfo product, const std::optional<QString>& pathsBase = std::nullopt,
                       QObject* parent = nullptr);
    ~KXContext() override;

    // The shipped product description ("product.json" of the application's
    // bundle); a missing or broken description ends the program with a
    // message on standard error, since nothing can be shown without it.
    static kxcore::ProductInfo loadProduct();

    const kxcore::ProductInfo& product() const { return product_; }
    const kxcore::AppPaths& paths() const { return paths_; }
    // The product's colour (its iconColor), the accent of every window; a
    // description without a valid colour gives the framework's blue.
    QColor accentColor() const;

    // The line written to the log at start.
    static QString startLine(const kxcore::ProductInfo& product);

private:
    kxcore::ProductInfo product_;
    kxcore::AppPaths paths_;
};
