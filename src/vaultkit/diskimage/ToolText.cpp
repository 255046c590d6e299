#include "vaultkit/diskimage/ToolText.h"

#include <algorithm>
#include <array>

#include <utf8proc.h>

namespace vaultkit::ToolText {

namespace {

// White space and line breaks as Unicode defines them: the separators (Zs,
// Zl, Zp), tab, line feed to carriage return, and NEL. The tools' messages are
// localised, so an ideographic space (U+3000) or a no-break space may end one.
bool isTrimmed(utf8proc_int32_t cp) {
    if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
    const auto cat = utf8proc_category(cp);
    return cat == UTF8PROC_CATEGORY_ZS || cat == UTF8PROC_CATEGORY_ZL || cat == UTF8PROC_CATEGORY_ZP;
}

// Length of the white space at the start of s (whole code points only).
std::size_t leadingSpace(std::string_view s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        utf8proc_int32_t cp = -1;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                                        static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
        if (n <= 0 || !isTrimmed(cp)) break;
        pos += static_cast<std::size_t>(n);
    }
    return pos;
}

// Length of s without the white space at its end.
std::size_t withoutTrailingSpace(std::string_view s) {
    std::size_t end = s.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        utf8proc_int32_t cp = -1;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + start),
                                        static_cast<utf8proc_ssize_t>(end - start), &cp);
        if (n != static_cast<utf8proc_ssize_t>(end - start) || !isTrimmed(cp)) break;
        end = start;
    }
    return end;
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
    const std::size_t first = leadingSpace(out);
    const std::size_t last = first + withoutTrailingSpace(std::string_view(out).substr(first));
    return out.substr(first, last - first);
}

bool isAuthError(std::string_view text) {
    // ASCII lower-casing is enough: the non-Latin wordings have no case, and
    // the Latin ones are matched by their ASCII letters. It is done by hand:
    // std::tolower follows the process locale (a Turkish one maps 'I' to a
    // dotless i) and must never touch the bytes of multi-byte characters.
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    static constexpr std::array<std::string_view, 8> needles = {
        "authentication",   "incorrect passphrase", "认证", "認證", "密码不正确", "密碼不正確",
        "authentification", "authentifizierung"};
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view n) { return lower.find(n) != std::string::npos; });
}

} // namespace vaultkit::ToolText
