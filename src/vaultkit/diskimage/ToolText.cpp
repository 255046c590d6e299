#include "vaultkit/diskimage/ToolText.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vaultkit::ToolText {

namespace {

bool isTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

std::string cleanErr(std::string_view text) {
    std::string out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        if (line.find("WARNING") != std::string_view::npos ||
            line.find("deprecated") != std::string_view::npos)
            continue;
        if (!out.empty()) out += '\n';
        out.append(line);
    }
    std::size_t first = 0;
    while (first < out.size() && isTrimmed(out[first]))
        ++first;
    std::size_t last = out.size();
    while (last > first && isTrimmed(out[last - 1]))
        --last;
    return out.substr(first, last - first);
}

bool isAuthError(std::string_view text) {
    // ASCII lower-casing is enough: the non-Latin wordings have no case, and
    // the Latin ones are matched by their ASCII letters.
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(c < 0x80 ? std::tolower(c) : c); });
    static constexpr std::array<std::string_view, 8> needles = {
        "authentication",   "incorrect passphrase", "认证", "認證", "密码不正确", "密碼不正確",
        "authentification", "authentifizierung"};
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view n) { return lower.find(n) != std::string::npos; });
}

} // namespace vaultkit::ToolText
