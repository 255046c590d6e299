#pragma once

#include "kxstrings/KXLanguage.h"

#include <optional>
#include <string>

namespace kxcore {
class Settings;
}

// The user's choice of interface language, kept in the settings store under
// "AppleLanguages" as a list whose first entry is the chosen code.
namespace KXLanguage {

// The override: the first entry of "AppleLanguages" when the key exists,
// holds a non-empty list of texts, and that first entry is exactly one of the
// codes of `all`; otherwise none. A region-qualified code such as "en-US" is
// therefore no override.
std::optional<std::string> override(const kxcore::Settings& settings);
std::optional<std::string> override();

// Writing a code stores the one-element list [code]; writing none removes the
// key, so the desktop's language applies again. Either takes effect at the
// next start.
void setOverride(const std::optional<std::string>& code, kxcore::Settings& settings);
void setOverride(const std::optional<std::string>& code);

// Chooses the interface language once at start (the override, else the
// environment's language, else English) and hands it to KXStrings. Returns
// the chosen code.
std::string applyAtStart(const kxcore::Settings& settings);
std::string applyAtStart();

} // namespace KXLanguage
