#include "kxstrings/KXFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <vector>

namespace {

using Arg = KXFormat::Arg;

struct FormatCase {
    const char* format;
    std::vector<Arg> args;
    const char* expected;
};

TEST(KXFormat, FormatsTextsIntegersPercentAndPositions) {
    const std::vector<FormatCase> cases = {
        {"Unlock “%@”…", {"Private"}, "Unlock “Private”…"},
        {"Files: %d · %@", {3, "1.2 MB"}, "Files: 3 · 1.2 MB"},
        {"%ld items", {1234567LL}, "1234567 items"},
        {"%lld / %i / %u", {-42, 7, 9u}, "-42 / 7 / 9"},
        {"100%% done, %d%%", {50}, "100% done, 50%"},
        {"%2$@ before %1$@", {"one", "two"}, "two before one"},
        {"%1$d and again %1$d", {5}, "5 and again 5"},
        {"%2$ld then %1$@", {"x", 9}, "9 then x"},
        {"a %@ b", {"%d %@ 100%"}, "a %d %@ 100% b"}, // arguments are never formats
        {"no placeholders", {"unused"}, "no placeholders"},
        {"%@", {7}, "7"},                       // a number where a text is asked
        {"%d", {"seven"}, "seven"},             // a text where a number is asked
        {"%@ and %@", {"only"}, "only and %@"}, // a missing argument shows its gap
        {"%3$@", {"a", "b"}, "%3$@"},           // so does a position beyond the arguments
        {"50% off", {1}, "50% off"},            // "%" before something that is no conversion
        {"trailing %", {1}, "trailing %"},
        {"%x %@", {"t"}, "%x t"},
        {"%s", {"c text"}, "c text"},
        {"名前: %@", {"金庫"}, "名前: 金庫"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KXFormat::format(c.format, c.args), c.expected) << c.format;
    }
}

TEST(KXFormat, NumbersIgnoreTheLocale) {
    // A locale with digit grouping and another decimal sign must not change
    // the digits (when such a locale is installed at all).
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8"})
        std::setlocale(LC_ALL, name);
    const std::vector<Arg> args{1234567, -9876543210LL};
    EXPECT_EQ(KXFormat::format("%d|%ld", args), "1234567|-9876543210");
    std::setlocale(LC_ALL, saved.c_str());
}

struct ScanCase {
    const char* format;
    std::vector<KXFormat::Placeholder> placeholders;
    std::size_t problems;
};

TEST(KXFormat, ScanFindsKindsPositionsAndProblems) {
    const std::vector<ScanCase> cases = {
        {"plain", {}, 0},
        {"%@ and %d", {{1, '@'}, {2, 'd'}}, 0},
        {"%ld%%", {{1, 'd'}}, 0},
        {"%2$d %1$@", {{2, 'd'}, {1, '@'}}, 0},
        {"50% off", {}, 1},
        {"%1$@ %@", {{1, '@'}, {1, '@'}}, 1}, // mixed forms
        {"%", {}, 1},
    };
    for (const auto& c : cases) {
        KXFormat::Scan s = KXFormat::scan(c.format);
        EXPECT_EQ(s.placeholders, c.placeholders) << c.format;
        EXPECT_EQ(s.problems.size(), c.problems) << c.format;
    }
}

} // namespace
