// The strength score: user-perceived characters, Unicode categories, the cap
// below 8 characters, and the colour and caption of each score.
#include "app/widgets/PasswordStrength.h"
#include "app/widgets/StrengthBar.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QProgressBar>

#include <gtest/gtest.h>

#include <string>

namespace {

struct ScoreCase {
    const char* what;
    std::string password;
    int characters;
    int score;
};

std::string times(const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += piece;
    return out;
}

TEST(PasswordStrength, ScoresFollowLengthAndCharacterKinds) {
    const ScoreCase cases[] = {
        // the four documented examples
        {"empty", "", 0, 0},
        {"four lower-case letters and a digit, capped by the length", "abc1", 4, 1},
        {"eight lower-case letters", "abcdefgh", 8, 2},
        {"ten: upper, lower, digit, punctuation", "Abcdefgh1!", 10, 5},
        // the cap below 8 characters
        {"seven with every kind", "aB3$xy!", 7, 1},
        {"one symbol", "!", 1, 1},
        // length part stops at 4
        {"sixteen letters", times("a", 16), 16, 4},
        {"forty letters", times("a", 40), 40, 4},
        {"everything, above the maximum sum", "Abcdefghijklmno1!", 17, 6},
        // white space is neither letter, mark nor number
        {"a space", "abcd efgh", 9, 3},
        // grapheme clusters, not code points or bytes
        {"e + combining acute, eight times", times("e\xCC\x81", 8), 8, 2},
        {"family emoji (ZWJ sequence), eight times",
         times("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 8), 8, 3},
        {"flag (two regional indicators), eight times", times("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 8), 8, 3},
        {"seven accented letters stay capped", times("e\xCC\x81", 7), 7, 1},
        // Unicode categories, not ASCII tests
        {"Arabic-Indic digits are Nd", "\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4\xD9\xA5\xD9\xA6\xD9\xA7\xD9\xA8", 8,
         3},
        {"superscript two is a number but not Nd", "abcdefg\xC2\xB2", 8, 2},
        {"upper and lower outside ASCII",
         "\xC3\x84\xC3\x96\xC3\x9C\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F"
         "x",
         8, 3},
        {"titlecase counts as upper",
         "\xC7\x85"
         "abcdefg",
         8, 3},
        {"upper case only", "ABCDEFGH", 8, 2},
        {"CJK letters are letters (Lo)", times("\xE6\xBC\xA2", 8), 8, 2},
        {"a currency sign is a symbol", "abcdefg\xE2\x82\xAC", 8, 3},
        {"invalid bytes count as other characters", times("\xFF", 8), 8, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PasswordStrength::characters(c.password), c.characters) << c.what;
        EXPECT_EQ(PasswordStrength::score(c.password), c.score) << c.what;
        EXPECT_EQ(PasswordStrength::score(QString::fromStdString(c.password)), c.score) << c.what;
    }
}

TEST(PasswordStrength, AnythingShorterThanEightScoresAtMostOne) {
    const std::string pieces[] = {"A", "a", "1", "!", " ", "\xC3\x84", "\xF0\x9F\x94\x91"};
    // every password of up to 7 characters built from a mix of kinds
    for (int n = 0; n < 8; ++n) {
        std::string p;
        for (int i = 0; i < n; ++i)
            p += pieces[(i * 3 + n) % 7];
        EXPECT_LE(PasswordStrength::score(p), 1) << p;
    }
}

TEST(PasswordStrength, LevelsColoursAndCaptions) {
    struct LevelCase {
        int score;
        KXStyle::Tone tone;
        const char* caption;
    };
    const LevelCase cases[] = {
        {0, KXStyle::Tone::red, "strength.weak"},     {1, KXStyle::Tone::red, "strength.weak"},
        {2, KXStyle::Tone::red, "strength.weak"},     {3, KXStyle::Tone::orange, "strength.ok"},
        {4, KXStyle::Tone::orange, "strength.ok"},    {5, KXStyle::Tone::green, "strength.strong"},
        {6, KXStyle::Tone::green, "strength.strong"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PasswordStrength::tone(c.score), c.tone) << c.score;
        EXPECT_EQ(PasswordStrength::caption(c.score), kx(c.caption)) << c.score;
    }
}

TEST(StrengthBar, ShowsTheScoreOutOfSixInItsColourWithTheCaption) {
    StrengthBar bar;
    EXPECT_EQ(bar.bar()->maximum(), 6);
    EXPECT_EQ(bar.bar()->width(), 200);
    struct BarCase {
        const char* password;
        int score;
        KXStyle::Tone tone;
        const char* caption;
    };
    const BarCase cases[] = {
        {"", 0, KXStyle::Tone::red, nullptr}, // nothing typed: no caption, not "Weak"
        {"abcdefgh", 2, KXStyle::Tone::red, "strength.weak"},
        {"abcdefgh1!", 4, KXStyle::Tone::orange, "strength.ok"},
        {"Abcdefgh1!", 5, KXStyle::Tone::green, "strength.strong"},
    };
    for (const auto& c : cases) {
        bar.setPassword(QString::fromUtf8(c.password));
        EXPECT_EQ(bar.score(), c.score) << c.password;
        EXPECT_EQ(bar.bar()->value(), c.score) << c.password;
        EXPECT_EQ(bar.tint(), KXStyle::tone(c.tone, bar.palette())) << c.password;
        EXPECT_EQ(bar.caption(), c.caption ? kx(c.caption) : QString()) << c.password;
    }
}

} // namespace
