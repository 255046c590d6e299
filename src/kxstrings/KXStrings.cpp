#include "kxstrings/KXStrings.h"

#include "kxstrings/KXLanguage.h"

#include <mutex>

namespace {

// A text no translation can equal: tells "not in this table" apart from any
// text a table may hold, the empty one included.
constexpr std::string_view sentinel{"\0missing\0", 9};

struct Registry {
    std::mutex mutex;
    std::optional<KXResourceBundle> product;
    std::optional<KXResourceBundle> common; // found on first use
    std::optional<std::string> language;    // chosen on first use
};

Registry& registry() {
    static Registry* r = new Registry; // never destroyed: texts may be asked for during exit
    return *r;
}

std::string currentLanguage(Registry& r) {
    if (!r.language) r.language = KXLanguage::atStart(std::nullopt);
    return *r.language;
}

} // namespace

void KXStrings::registerProductBundle(KXResourceBundle bundle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.product = std::move(bundle);
}

void KXStrings::registerProductBundle() {
    registerProductBundle(KXResourceBundle::require(productBundleName));
}

void KXStrings::setLanguage(std::string code) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.language = std::move(code);
}

std::string KXStrings::language() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return currentLanguage(r);
}

std::string KXStrings::lookup(std::string_view key) {
    Registry& r = registry();
    std::optional<KXResourceBundle> product, common;
    std::string language;
    {
        std::lock_guard lock(r.mutex);
        language = currentLanguage(r);
        product = r.product;
        common = r.common;
    }
    if (product) {
        std::string found = product->localizedString(key, sentinel, productTable, language);
        if (found != sentinel) return found;
    }
    if (!common) {
        KXResourceBundle located = KXResourceBundle::require(commonBundleName);
        std::lock_guard lock(r.mutex);
        if (!r.common) r.common = located;
        common = r.common;
    }
    std::string found = common->localizedString(key, sentinel, commonTable, language);
    if (found != sentinel) return found;
    return std::string(key);
}

std::string KXStrings::text(std::string_view key) {
    return lookup(key);
}

std::string KXStrings::text(std::string_view key, std::span<const KXFormat::Arg> args) {
    return KXFormat::format(lookup(key), args);
}

void KXStrings::resetForTesting() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.product.reset();
    r.common.reset();
    r.language.reset();
}
