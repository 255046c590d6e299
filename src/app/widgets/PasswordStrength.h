#pragma once

#include "kxui/KXStyle.h"

#include <QString>

#include <string_view>

// How strong a password looks, as the strength meter shows it: a score from 0
// to 6 with a colour and a caption. Advice only; nothing is refused because
// of it (the password rule is Vault::validate).
//
// Score of a password p with n user-perceived characters (grapheme clusters):
//   s = min(n div 4, 4)
//   +1 when p has a decimal digit (Nd)
//   +1 when p has an upper- or titlecase letter (Lu, Lt) and a lowercase one (Ll)
//   +1 when p has a character outside the letters, marks and numbers (L, M, N):
//      a space, punctuation, a symbol
//   score = min(s, 1) when n < 8, else s.
// A character's category is that of its first code point (the base of a
// letter with combining accents). Invalid UTF-8 counts each bad byte as one
// character outside L, M and N.
class PasswordStrength {
public:
    PasswordStrength() = delete;

    static constexpr int maximum = 6;

    enum class Level { weak, fair, strong };

    // User-perceived characters (extended grapheme clusters).
    static int characters(std::string_view utf8);
    static int characters(const QString& text);

    static int score(std::string_view utf8);
    static int score(const QString& text);

    // weak: 0-2, fair: 3-4, strong: 5-6.
    static Level level(int score);
    // Red, orange, green (weak, fair, strong).
    static KXStyle::Tone tone(int score);
    // kx("strength.weak"), kx("strength.ok"), kx("strength.strong").
    static QString caption(int score);
};
