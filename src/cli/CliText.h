#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// The one place where hushcoffer-cli turns errors into the line the user reads:
// the same text the application's banner shows for the error. The texts come
// from the application's text tables ("Hushcoffer_Hushcoffer.bundle", English)
// when they can be found next to the program or in the installed data folder;
// otherwise from the English table built into the program.
class CliText {
public:
    // One line: a VaultError by its key and arguments, any other error by its
    // own description.
    static std::string describe(const std::exception& error);
    // The text of an "err." key with its arguments filled in ("%@").
    static std::string errorText(std::string_view key, const std::vector<std::string>& args);

    // The built-in English text of a key (empty when it has none).
    static std::string_view builtInText(std::string_view key);
    // Fills "%@" (and "%1$@", "%2$@") in order; "%%" is a percent sign.
    static std::string format(std::string_view text, const std::vector<std::string>& args);
};

} // namespace cli
