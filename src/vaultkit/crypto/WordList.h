#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vaultkit {

// Looking up what a user typed for a word of a recovery phrase in the
// English word list (BIP39Words). Letters are compared without case; the
// list's words are lowercase ASCII.
class WordList {
public:
    WordList() = delete;

    // Whether `typed` is a word of the list.
    static bool contains(std::string_view typed);

    // The word of the list `typed` stands for, if only one fits: the word
    // itself; else the one word sharing its first four letters (no two words
    // of the list share them, so four letters identify a word even when the
    // rest is mistyped: "chickn" is "chicken"); else, for fewer letters, the
    // one word starting with them. None when no word or several fit.
    static std::optional<std::string> completion(std::string_view typed);
};

} // namespace vaultkit
