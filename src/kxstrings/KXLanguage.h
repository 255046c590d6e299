#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// The languages of the interface, and how the language is chosen at start.
// Reading and writing the user's override ("AppleLanguages") needs the
// settings store and lives in kxui/KXLanguageOverride.h.
namespace KXLanguage {

struct Language {
    std::string_view code;
    std::string_view name; // the language's own name
};

// The languages the interface offers, in the order the settings list them.
inline constexpr std::array<Language, 17> all{{
    {"en", "English"},
    {"zh-Hans", "简体中文"},
    {"zh-Hant", "繁體中文"},
    {"ja", "日本語"},
    {"ko", "한국어"},
    {"de", "Deutsch"},
    {"fr", "Français"},
    {"es", "Español"},
    {"pt", "Português"},
    {"it", "Italiano"},
    {"ru", "Русский"},
    {"tr", "Türkçe"},
    {"vi", "Tiếng Việt"},
    {"th", "ไทย"},
    {"hi", "हिन्दी"},
    {"bn", "বাংলা"},
    {"sw", "Kiswahili"},
}};

// The language the texts fall back to.
inline constexpr std::string_view development = "en";

// Whether `code` is exactly one of the codes of `all`.
bool isListed(std::string_view code);

// Maps one POSIX locale name ("de_DE.UTF-8", "zh_TW", "pt_BR@euro") or a
// language tag ("zh-Hant-HK", "pt-BR") onto a code of `all`; none when the
// language is not offered or the name is "C"/"POSIX".
// Chinese: zh_CN, zh_SG and plain zh give zh-Hans; zh_TW, zh_HK, zh_MO give
// zh-Hant; an explicit script (Hans, Hant) wins over the region.
std::optional<std::string> fromLocale(std::string_view locale);

// The user's language from the environment, the way gettext reads it: the
// messages locale is the first non-empty of LC_ALL, LC_MESSAGES, LANG; when
// it is unset, "C" or "POSIX" the answer is none. Otherwise the entries of
// LANGUAGE (a colon-separated list) are tried in order, then the messages
// locale itself.
std::optional<std::string> fromEnvironment();

// The language at start: the override when it is one of the listed codes,
// else the environment's, else English.
std::string atStart(const std::optional<std::string>& override);

} // namespace KXLanguage
