#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <string>

using vaultkit::Vault;
using vaultkit::VaultError;

namespace {

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

// The password rule counts what a person sees as one character: a flag (two
// regional indicators), an emoji with a skin tone and a family joined by
// zero-width joiners are one character each.
TEST(VaultPasswordRule, CountsUserPerceivedCharacters) {
    const std::string flag = "🇩🇪", toned = "👍🏽", family = "👨‍👩‍👧‍👦", crlf = "\r\n";
    const struct {
        std::string password;
        bool accepted;
    } cases[] = {
        {repeat(flag, 8), true},
        {repeat(flag, 7), false}, // 14 code points, 7 characters
        {repeat(toned, 8), true},
        {repeat(toned, 7), false},
        {repeat(family, 8), true},
        {repeat(family, 7) + "x", true},
        {"1234567" + crlf, false}, // CR LF is one character, but a line break
        {"abcdefg\xE2\x80\xA8", false},
        {"abcdefg\t", true}, // a tab is not a line break
        {std::string("abcdefgh\0", 9), false},
        {"abcdefg", false},
        {"ab cd ef", true},
    };
    for (const auto& c : cases) {
        if (c.accepted) {
            EXPECT_NO_THROW(Vault::validate(c.password)) << c.password;
        } else {
            try {
                Vault::validate(c.password);
                ADD_FAILURE() << "accepted: " << c.password;
            } catch (const VaultError& e) {
                EXPECT_EQ(e, VaultError::weakPassword());
            }
        }
    }
}
