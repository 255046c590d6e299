#include "kxui/KXContext.h"

#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxcore/Telemetry.h"
#include "kxstrings/KXStrings.h"
#include "kxui/KXLanguageOverride.h"
#include "kxui/KXQtTranslations.h"
#include "kxui/KXStyle.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The language must be chosen and the texts registered before the folders
// are made: AppPaths does not need texts, but everything after it may.
kxcore::ProductInfo prepareTexts(kxcore::ProductInfo product) {
    const std::string language = KXLanguage::applyAtStart();
    KXStrings::registerProductBundle();
    // Qt's own dialogs in the same language
    KXQtTranslations::install(language);
    return product;
}

} // namespace

KXContext::KXContext(kxcore::ProductInfo product, const std::optional<QString>& pathsBase, QObject* parent)
    : QObject(parent)
    , product_(prepareTexts(std::move(product)))
    , paths_(product_.bundleID, product_.displayName, pathsBase) {
    kxcore::Log::shared().configure(paths_.logFile().toStdString());

    kxcore::startTelemetry(product_, paths_, kxcore::Settings());

    kxcore::Log::shared().info(startLine(product_));
}

KXContext::~KXContext() = default;

kxcore::ProductInfo KXContext::loadProduct() {
    try {
        return kxcore::ProductInfo::loadShipped();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot read the product description: %s\n", e.what());
        std::exit(1);
    }
}

QColor KXContext::accentColor() const {
    const QColor c = KXStyle::colorFromHex(product_.iconColor);
    return c.isValid() ? c : KXStyle::accent();
}

QString KXContext::startLine(const kxcore::ProductInfo& product) {
    return product.displayName + QLatin1Char(' ') + product.version + QStringLiteral(" started");
}
