#include "vaultkit/crypto/WordList.h"

#include "vaultkit/crypto/BIP39Words.h"

#include <algorithm>

namespace vaultkit {

namespace {

std::optional<std::string> lowered(std::string_view typed) {
    std::string out;
    out.reserve(typed.size());
    for (char c : typed) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c < 'a' || c > 'z') return std::nullopt; // no word of the list has it
        out.push_back(c);
    }
    return out;
}

// The words starting with `prefix` (the list is sorted).
std::pair<const std::string_view*, const std::string_view*> startingWith(std::string_view prefix) {
    const auto& words = BIP39Words::english();
    const auto* first = std::lower_bound(words.data(), words.data() + words.size(), prefix);
    const auto* last = first;
    while (last != words.data() + words.size() && last->substr(0, prefix.size()) == prefix)
        ++last;
    return {first, last};
}

} // namespace

bool WordList::contains(std::string_view typed) {
    const auto word = lowered(typed);
    if (!word || word->empty()) return false;
    const auto& words = BIP39Words::english();
    return std::binary_search(words.begin(), words.end(), std::string_view(*word));
}

std::optional<std::string> WordList::completion(std::string_view typed) {
    const auto word = lowered(typed);
    if (!word || word->empty()) return std::nullopt;
    if (contains(*word)) return *word;
    const std::string_view prefix = std::string_view(*word).substr(0, std::min<std::size_t>(word->size(), 4));
    const auto [first, last] = startingWith(prefix);
    if (last - first != 1) return std::nullopt;
    return std::string(*first);
}

} // namespace vaultkit
