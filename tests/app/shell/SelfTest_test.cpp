// The self-test (HC_SELFTEST_PASSWORD): what it prints and the status it
// ends with, over the window tests' model.
#include "app/shell/SelfTest.h"
#include "support/WindowFixture.h"

#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using uitest::spinUntil;
using uitest::WindowTest;

} // namespace

// ---- Self-test ------------------------------------------------------------------------------

TEST(SelfTestText, ListsAreBracketedWithQuotedEscapedNames) {
    EXPECT_EQ(SelfTest::bracketed({}), QStringLiteral("[]"));
    EXPECT_EQ(SelfTest::bracketed({QStringLiteral("a")}), QStringLiteral("[\"a\"]"));
    EXPECT_EQ(
        SelfTest::bracketed({QStringLiteral("a b"), QStringLiteral("say \"hi\""), QStringLiteral("c\\d")}),
        QStringLiteral("[\"a b\", \"say \\\"hi\\\"\", \"c\\\\d\"]"));
    EXPECT_EQ(SelfTest::bracketed({QStringLiteral("new\nline")}), QStringLiteral("[\"new\\nline\"]"));
    EXPECT_TRUE(SelfTest::listing(QStringLiteral("/nonexistent/folder")).isEmpty());
}

TEST_F(WindowTest, SelfTestPrintsTwoLinesAndItsStatus) {
    auto vault = addVault("Private");
    struct Case {
        const char* password;
        const char* first;
        int status;
    };
    for (const Case& c :
         {Case{rightPassword, "selftest unlock=true", 0}, Case{"wrong", "selftest unlock=false", 1}}) {
        SCOPED_TRACE(c.password);
        FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        std::optional<int> status;
        SelfTest::start(
            &model(), QString::fromLatin1(c.password), [&](int s) { status = s; }, out);
        ASSERT_TRUE(spinUntil([&] { return status.has_value(); }, 10));
        EXPECT_EQ(*status, c.status);
        EXPECT_FALSE(model().isUnlocked(vault));
        std::rewind(out);
        char buffer[512] = {};
        const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
        std::fclose(out);
        const QStringList lines =
            QString::fromUtf8(buffer, static_cast<qsizetype>(n)).split(QLatin1Char('\n'));
        ASSERT_EQ(lines.size(), 3) << buffer; // two lines and the empty rest after the last line feed
        EXPECT_EQ(lines[0], QLatin1String(c.first));
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("selftest locked=true items=["))) << buffer;
        EXPECT_TRUE(lines[2].isEmpty());
    }
}

TEST_F(WindowTest, SelfTestWithoutAVaultPrintsNothingAndKeepsRunning) {
    FILE* out = std::tmpfile();
    bool exited = false;
    SelfTest::start(
        &model(), QStringLiteral("pw"), [&](int) { exited = true; }, out);
    QTest::qWait(100);
    EXPECT_FALSE(exited);
    EXPECT_EQ(std::ftell(out), 0);
    std::fclose(out);
}
