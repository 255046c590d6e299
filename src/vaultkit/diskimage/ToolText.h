#pragma once

#include <string>
#include <string_view>

namespace vaultkit {

// Text helpers shared by the disk-image drivers.
namespace ToolText {

// A tool's error text made fit to show: split on line feeds, empty lines and
// lines containing "WARNING" or "deprecated" (case-sensitive) dropped, the
// rest joined with line feeds and trimmed of white space at both ends.
std::string cleanErr(std::string_view text);

// True when the lower-cased text reports a failed authentication in one of the
// wordings the disk-image tool uses (English, Chinese, French, German).
bool isAuthError(std::string_view text);

} // namespace ToolText

} // namespace vaultkit
