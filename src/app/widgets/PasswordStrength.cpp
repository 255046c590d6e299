#include "app/widgets/PasswordStrength.h"

#include "kxui/kx.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// The first code point of every grapheme cluster of `s`, in order. A byte
// that is not valid UTF-8 is a cluster of its own with the code point -1.
std::vector<utf8proc_int32_t> clusterBases(std::string_view s) {
    std::vector<utf8proc_int32_t> bases;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    for (std::size_t pos = 0; pos < s.size();) {
        utf8proc_int32_t cp = -1;
        const auto used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                                           static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
        if (used <= 0) {
            bases.push_back(-1);
            previous = -1;
            state = 0;
            pos += 1;
            continue;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) bases.push_back(cp);
        previous = cp;
        pos += static_cast<std::size_t>(used);
    }
    return bases;
}

bool isLetterMarkOrNumber(utf8proc_category_t category) {
    switch (category) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
        return true;
    default:
        return false;
    }
}

} // namespace

int PasswordStrength::characters(std::string_view utf8) {
    return static_cast<int>(clusterBases(utf8).size());
}

int PasswordStrength::characters(const QString& text) {
    return characters(text.toStdString());
}

int PasswordStrength::score(std::string_view utf8) {
    const auto bases = clusterBases(utf8);
    const int n = static_cast<int>(bases.size());
    bool digit = false, upper = false, lower = false, other = false;
    for (const auto cp : bases) {
        if (cp < 0) {
            other = true;
            continue;
        }
        const auto category = utf8proc_category(cp);
        digit = digit || category == UTF8PROC_CATEGORY_ND;
        upper = upper || category == UTF8PROC_CATEGORY_LU || category == UTF8PROC_CATEGORY_LT;
        lower = lower || category == UTF8PROC_CATEGORY_LL;
        other = other || !isLetterMarkOrNumber(category);
    }
    int s = std::min(n / 4, 4);
    if (digit) s += 1;
    if (upper && lower) s += 1;
    if (other) s += 1;
    const int cap = n < 8 ? 1 : maximum;
    return std::min(cap, s);
}

int PasswordStrength::score(const QString& text) {
    return score(text.toStdString());
}

PasswordStrength::Level PasswordStrength::level(int score) {
    if (score <= 2) return Level::weak;
    if (score <= 4) return Level::fair;
    return Level::strong;
}

KXStyle::Tone PasswordStrength::tone(int score) {
    switch (level(score)) {
    case Level::weak:
        return KXStyle::Tone::red;
    case Level::fair:
        return KXStyle::Tone::orange;
    case Level::strong:
        return KXStyle::Tone::green;
    }
    return KXStyle::Tone::red;
}

QString PasswordStrength::caption(int score) {
    switch (level(score)) {
    case Level::weak:
        return kx("strength.weak");
    case Level::fair:
        return kx("strength.ok");
    case Level::strong:
        return kx("strength.strong");
    }
    return {};
}
