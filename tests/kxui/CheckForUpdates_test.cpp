// The update check as the user meets it: which alert shows, for a service
// on 127.0.0.1 that answers, fails or is not there.
#include "KXUITestSupport.h"

#include "kxui/CheckForUpdates.h"
#include "kxui/kx.h"

#include <gtest/gtest.h>

using namespace kxui;

namespace {

// Answers the alerts the way a test says and remembers them.
class RecordingAlerts : public UpdateAlerts {
public:
    explicit RecordingAlerts(bool download)
        : download_(download) {}
    bool offerUpdate(const QString& message, const QString& notes) override {
        shown.push_back("offer: " + message + " | " + notes);
        return download_;
    }
    void inform(const QString& message) override { shown.push_back("inform: " + message); }
    std::vector<QString> shown;

private:
    bool download_;
};

class CheckForUpdatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        testContext();
        product.id = QStringLiteral("hushcoffer");
        product.version = QStringLiteral("1.9");
        setenv("KX_SERVICE_BASE", server.base().toUtf8().constData(), 1);
    }
    void TearDown() override { setenv("KX_SERVICE_BASE", "", 1); }

    // Runs one check to its end; returns the alerts shown.
    std::vector<QString> check(bool silent, bool download = false) {
        auto alerts = std::make_shared<RecordingAlerts>(download);
        bool done = false;
        checkForUpdates(product, silent, alerts, nullptr, [&] { done = true; });
        QDeadlineTimer deadline(10000);
        while (!done && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_TRUE(done);
        return alerts->shown;
    }
    void reply(int status, QByteArray body) {
        server.setHandler([=](const auto&) { return TestHttpServer::Reply{status, body}; });
    }

    kxcore::ProductInfo product;
    TestHttpServer server;
    OpenedURLs opened;
};

TEST_F(CheckForUpdatesTest, WhatEachReplyShows) {
    const QString offer110 = "offer: " + kx("update.available", QStringLiteral("1.10")) + " | ";
    const QString upToDate = "inform: " + kx("update.uptodate", QStringLiteral("1.9"));
    const QString failed = "inform: " + kx("update.failed");
    struct Case {
        int status;
        QByteArray body;
        bool silent;
        std::vector<QString> shown;
    };
    const std::vector<Case> cases = {
        {200, R"({"version":"1.10","notes":"Faster."})", false, {offer110 + "Faster."}},
        {200, R"({"version":"1.10"})", true, {offer110}}, // offered in a silent check too
        {200, R"({"version":"1.9.0"})", false, {upToDate}},
        {200, R"({"version":"1.9.0"})", true, {}},
        {200, R"({"version":"1.8"})", false, {upToDate}},
        {200, R"({"version":"1.10-beta"})", false, {upToDate}}, // unparsable: not newer
        {404, R"({"version":"9.0"})", false, {failed}},
        {404, R"({"version":"9.0"})", true, {}},
        {200, R"(<html>)", false, {failed}},
        {500, "{}", true, {}},
    };
    for (const auto& c : cases) {
        reply(c.status, c.body);
        size_t before = server.requests().size();
        EXPECT_EQ(check(c.silent), c.shown)
            << c.status << " " << c.body.toStdString() << " silent=" << c.silent;
        ASSERT_EQ(server.requests().size(), before + 1) << "one request per check";
        EXPECT_EQ(server.requests().back().path, "/api/products/hushcoffer/version");
    }
    EXPECT_EQ(opened.size(), 0u) << "nothing opened without choosing Download";
}

TEST_F(CheckForUpdatesTest, DownloadOpensTheReplysAddressAndWithoutOneDoesNothing) {
    reply(200, R"({"version":"2.0","download_url":"https://downloads.example/hc-2.0.deb"})");
    check(false, true);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened.last().url, QUrl("https://downloads.example/hc-2.0.deb"));

    // No download_url: the update is still offered; Download then opens nothing.
    reply(200, R"({"version":"2.0"})");
    EXPECT_EQ(check(false, true).size(), 1u);
    reply(200, R"({"version":"2.0","download_url":"not a url at all"})");
    EXPECT_EQ(check(false, true).size(), 1u);
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(CheckForUpdatesTest, AnUnreachableServiceIsSilentUnlessTheUserAsked) {
    setenv("KX_SERVICE_BASE", TestHttpServer::unreachableBase().toUtf8().constData(), 1);
    EXPECT_EQ(check(true), std::vector<QString>{});
    EXPECT_EQ(check(false), std::vector<QString>{"inform: " + kx("update.failed")});

    // No service configured at all: the same, and nothing is asked of anyone.
    setenv("KX_SERVICE_BASE", "", 1);
    EXPECT_EQ(check(true), std::vector<QString>{});
    EXPECT_EQ(check(false), std::vector<QString>{"inform: " + kx("update.failed")});
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CheckForUpdatesTest, TheCheckAtStartFollowsAutomaticUpdates) {
    reply(200, R"({"version":"1.9"})");
    kxcore::Settings settings;
    settings.setAutoUpdate(false);
    checkForUpdatesAtStart(product, settings);
    TestHttpServer::spin(300);
    EXPECT_TRUE(server.requests().empty());
    settings.setAutoUpdate(true);
    checkForUpdatesAtStart(product, settings); // returns at once; the request follows
    EXPECT_TRUE(server.waitForRequests(1));
    settings.remove(kxcore::Settings::autoUpdateKey);
}

} // namespace
