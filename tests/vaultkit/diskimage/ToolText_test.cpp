#include "vaultkit/diskimage/ToolText.h"

#include <gtest/gtest.h>

#include <string>

using vaultkit::ToolText::cleanErr;
using vaultkit::ToolText::isAuthError;

namespace {

struct CleanCase {
    const char* name;
    std::string input;
    std::string expected;
};

TEST(ToolTextCleanErr, Table) {
    const CleanCase cases[] = {
        {"warning line, failure line, empty third line",
         "hdiutil: WARNING: something odd\n  hdiutil: attach failed - no mountable file systems  \n",
         "hdiutil: attach failed - no mountable file systems"},
        {"deprecation notice dropped", "create: -stdinpass is deprecated\nreal failure", "real failure"},
        {"tests are case-sensitive", "warning: kept\nDeprecated: kept", "warning: kept\nDeprecated: kept"},
        {"empty lines dropped, rest joined by line feeds", "\n\na\n\n\nb\n\n", "a\nb"},
        {"only warnings gives the empty text", "WARNING one\nsomething deprecated\n", ""},
        {"empty input", "", ""},
        {"white-space-only lines stay inside, trimmed at the ends", "  a\n   \nb\t", "a\n   \nb"},
        {"carriage returns are white space at the ends", "\r\nfailed\r\n", "failed"},
        {"Unicode white space trimmed (ideographic space, no-break space)",
         "\u3000\u00a0认证失败\u3000\u2028", "认证失败"},
        {"non-space characters at the ends untouched", "\u00e9chec \u3001", "\u00e9chec \u3001"},
        {"invalid UTF-8 at the end is kept", "x \xff", "x \xff"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cleanErr(c.input), c.expected) << c.name;
}

struct AuthCase {
    std::string text;
    bool expected;
};

TEST(ToolTextIsAuthError, Table) {
    const AuthCase cases[] = {
        {"hdiutil: attach failed - Authentication error", true},
        {"AUTHENTICATION ERROR", true},
        {"aUtHeNtIcAtIoN", true},
        {"hdiutil: attach failed - no mountable file systems", false},
        {"Incorrect Passphrase", true},
        {"incorrect  passphrase", false},
        {"hdiutil: attach 失败 - 认证错误", true},
        {"hdiutil: attach 失敗 - 認證錯誤", true},
        {"密码不正确", true},
        {"密碼不正確", true},
        {"échec de l'Authentification", true},
        {"Fehler bei der AUTHENTIFIZIERUNG", true},
        {"authenticat", false},
        {"", false},
        // Upper-case letters next to multi-byte characters: only ASCII is
        // folded, the Chinese bytes stay intact.
        {"\u8ba4\u8bc1AUTHENTICATION", true},
        {"Ä Authentifizierung", true},
        // Look-alike letters are not folded into ASCII.
        {"\uff21uthentication", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isAuthError(c.text), c.expected) << c.text;
}

} // namespace
