// The update check's pure parts and its request against a real HTTP server.
#include "TestHttpServer.h"

#include "kxcore/NetworkFetcher.h"
#include "kxcore/UpdateChecker.h"

#include <gtest/gtest.h>

using namespace kxcore;

namespace {

TEST(UpdateChecker, IsNewer) {
    struct Case {
        const char* a;
        const char* b;
        bool newer;
    };
    for (Case c : {
             Case{"1.10", "1.9", true},   Case{"1.9", "1.10", false},
             Case{"1.9.0", "1.9", false}, Case{"1.9", "1.9.0", false},
             Case{"1.9.1", "1.9", true},  Case{"2.0", "2", false},
             Case{"2", "1.99.99", true},  Case{"1.0.0", "1.0.0", false},
             Case{"1..2", "1.1", true},                                    // empty pieces are dropped: 1.2
             Case{".1.", "1", false},     Case{"1.10-beta", "1.9", false}, // a beta suffix is never newer
             Case{"2.0b1", "1.0", false}, Case{"2.0", "1.0-beta", false},  // and nothing is newer than it
             Case{"", "1.0", false},      Case{"1.0", "", false},
             Case{"...", "0", false},     Case{" 2.0", "1.0", false},
             Case{"+2.0", "1.0", false},  Case{"1.2.3.4.5", "1.2.3.4", true},
             Case{"10.0", "9.99", true},  Case{"0001.2", "1.1", true},
         }) {
        EXPECT_EQ(UpdateChecker::isNewer(QString::fromUtf8(c.a), QString::fromUtf8(c.b)), c.newer)
            << c.a << " vs " << c.b;
    }
}

TEST(UpdateInfo, Decode) {
    auto full = UpdateInfo::decode(
        R"({"id":"hushcoffer","version":"1.2","min_os":"12","download_url":"https://x/y","notes":"n"})");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->version, "1.2");
    EXPECT_EQ(full->id, "hushcoffer");
    EXPECT_EQ(full->minOS, "12");
    EXPECT_EQ(full->downloadURL, "https://x/y");
    EXPECT_EQ(full->notes, "n");

    auto bare = UpdateInfo::decode(R"({"version":"2.0","extra":[1,2]})");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->downloadURL, std::nullopt);
    EXPECT_EQ(bare->notes, std::nullopt);
    auto nulls = UpdateInfo::decode(R"({"version":"2.0","notes":null})");
    ASSERT_TRUE(nulls);
    EXPECT_EQ(nulls->notes, std::nullopt);

    for (const char* bad : {R"({})", R"({"version":2})", R"({"version":null})", R"([])", "", "{",
                            R"({"version":"1","notes":5})", R"({"version":"1","download_url":{}})"})
        EXPECT_EQ(UpdateInfo::decode(bad), std::nullopt) << bad;
}

class LatestTest : public ::testing::Test {
protected:
    void SetUp() override { ensureQtApplication(); }

    std::optional<std::optional<UpdateInfo>> latest(const QUrl& base) {
        NetworkFetcher fetcher;
        std::optional<std::optional<UpdateInfo>> result;
        UpdateChecker::latest(QStringLiteral("hushcoffer"), fetcher, base,
                              [&](std::optional<UpdateInfo> info) { result = info; });
        QDeadlineTimer deadline(10000);
        while (!result && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return result;
    }
    TestHttpServer server;
};

TEST_F(LatestTest, OneGetOfTheProductsVersion) {
    server.setHandler([](const auto&) {
        return TestHttpServer::Reply{200, R"({"version":"1.10","notes":"n"})"};
    });
    auto result = latest(server.url("/api/products"));
    ASSERT_TRUE(result);
    ASSERT_TRUE(*result);
    EXPECT_EQ((*result)->version, "1.10");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].path, "/api/products/hushcoffer/version");
    EXPECT_EQ(server.requests()[0].header("Accept"), "application/json");
}

TEST_F(LatestTest, EveryFailureGivesNone) {
    struct Case {
        int status;
        QByteArray body;
        bool hangUp;
    };
    for (const Case& c :
         {Case{404, R"({"version":"9"})", false}, Case{500, "{}", false}, Case{200, "<html>", false},
          Case{200, R"({"notes":"no version"})", false}, Case{200, {}, true}}) {
        server.setHandler([&](const auto&) { return TestHttpServer::Reply{c.status, c.body, c.hangUp}; });
        auto result = latest(server.url("/api/products"));
        ASSERT_TRUE(result) << c.status;
        EXPECT_EQ(*result, std::nullopt) << c.status << " " << c.body.toStdString();
    }
    auto unreachable = latest(QUrl(TestHttpServer::unreachableBase() + "/api/products"));
    ASSERT_TRUE(unreachable);
    EXPECT_EQ(*unreachable, std::nullopt);

    size_t before = server.requests().size();
    auto noService = latest(QUrl());
    ASSERT_TRUE(noService);
    EXPECT_EQ(*noService, std::nullopt);
    EXPECT_EQ(server.requests().size(), before);
}

} // namespace
