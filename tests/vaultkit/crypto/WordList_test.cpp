// Looking up a typed word of a recovery phrase: known words, the completion
// from the first four letters, short prefixes, case, and what fits nothing.
#include "vaultkit/crypto/BIP39Words.h"
#include "vaultkit/crypto/WordList.h"

#include <gtest/gtest.h>

#include <set>

using vaultkit::WordList;

namespace {

TEST(WordList, KnowsTheWordsAndCompletesFromTheFirstFourLetters) {
    struct Case {
        const char* typed;
        bool known;
        const char* completion; // nullptr: none
    };
    const Case cases[] = {
        {"chicken", true, "chicken"},
        {"Chicken", true, "chicken"}, // case does not matter
        {"chickn", false, "chicken"}, // four letters decide, the rest mistyped
        {"chicxyz", false, "chicken"},
        {"abandon", true, "abandon"},
        {"zoo", true, "zoo"},
        {"zon", false, "zone"},       // the only word starting so
        {"ab", false, nullptr},       // abandon, ability, able, ...
        {"xqzt", false, nullptr},     // no word starts so
        {"", false, nullptr},
        {"chick3n", false, nullptr},  // not letters
        {"poème", false, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WordList::contains(c.typed), c.known) << c.typed;
        const auto got = WordList::completion(c.typed);
        if (c.completion) {
            ASSERT_TRUE(got.has_value()) << c.typed;
            EXPECT_EQ(*got, c.completion) << c.typed;
        } else {
            EXPECT_FALSE(got.has_value()) << c.typed << " gave " << got.value_or("");
        }
    }
}

TEST(WordList, FourLettersIdentifyEveryWordOfTheList) {
    std::set<std::string_view> prefixes;
    for (std::string_view w : vaultkit::BIP39Words::english()) {
        EXPECT_TRUE(prefixes.insert(w.substr(0, 4)).second) << w;
        EXPECT_EQ(WordList::completion(w.substr(0, 4)).value_or(""), w);
    }
}

} // namespace
