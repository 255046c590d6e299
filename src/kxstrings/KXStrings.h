#pragma once

#include "kxstrings/KXFormat.h"
#include "kxstrings/KXResourceBundle.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

// The lookup of every visible text by key. Qt code calls kx() from
// kxui/kx.h, which returns a QString; code without Qt (the command-line tool)
// calls KXStrings::text(), which returns UTF-8.
//
// A key is looked up first in the registered product bundle (table
// "Product"), then in the framework's bundle "Hushcoffer_KXUI" (table
// "Common"); a key found in neither is shown as itself, which makes gaps
// visible. With arguments the text found (or the key) is a KXFormat format.
class KXStrings {
public:
    static constexpr std::string_view productBundleName = "Hushcoffer_Hushcoffer";
    static constexpr std::string_view productTable = "Product";
    static constexpr std::string_view commonBundleName = "Hushcoffer_KXUI";
    static constexpr std::string_view commonTable = "Common";

    // Stores the bundle looked up first; a later call replaces the earlier
    // one. Called once at start, before any text of the application is
    // looked up.
    static void registerProductBundle(KXResourceBundle bundle);
    // Registers the application's own bundle "Hushcoffer_Hushcoffer"; when it
    // cannot be found, start-up ends with "unable to find bundle named
    // Hushcoffer_Hushcoffer".
    static void registerProductBundle();

    // The language texts are shown in. Set once at start (KXLanguage::atStart);
    // until then the environment's language, else English.
    static void setLanguage(std::string code);
    static std::string language();

    // The text for `key` with no formatting.
    static std::string text(std::string_view key);
    // The text for `key` used as a format for `args`.
    static std::string text(std::string_view key, std::span<const KXFormat::Arg> args);
    template <class First, class... Rest>
    static std::string text(std::string_view key, const First& first, const Rest&... rest) {
        const KXFormat::Arg args[] = {KXFormat::Arg(first), KXFormat::Arg(rest)...};
        return text(key, std::span<const KXFormat::Arg>(args));
    }

    // Forgets the registered bundle, the framework's bundle and the language,
    // so a test can start over with other bundles.
    static void resetForTesting();

private:
    static std::string lookup(std::string_view key);
};
