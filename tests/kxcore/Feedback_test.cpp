// Feedback: the e-mail check, the request body, and sending to a real HTTP
// server on 127.0.0.1.
#include "TestHttpServer.h"

#include "kxcore/FeedbackClient.h"
#include "kxcore/Log.h"
#include "kxcore/SystemInfo.h"
#include "kxcore/WebService.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kxcore;

namespace {

ProductInfo product() {
    ProductInfo p;
    p.id = QStringLiteral("hushcoffer");
    p.displayName = QStringLiteral("Hushcoffer");
    p.version = QStringLiteral("1.4.2");
    return p;
}

TEST(FeedbackReport, IsValidEmail) {
    struct Case {
        const char* text;
        bool valid;
    };
    for (Case c :
         {Case{"ann@example.org", true}, Case{"  ann@example.org\t ", true}, Case{"a.b+c@x.y.z", true},
          Case{"ann@example", false}, Case{"ann@.org", false}, Case{"ann@example.", false},
          Case{"ann example@x.org", false}, Case{"ann@ex ample.org", false}, Case{"@example.org", false},
          Case{"ann@@example.org", false}, Case{"ann@b@example.org", false}, Case{"", false},
          Case{"ann@example.org\n", false}, Case{"annexample.org", false}}) {
        EXPECT_EQ(FeedbackReport::isValidEmail(QString::fromUtf8(c.text)), c.valid) << '"' << c.text << '"';
    }
}

TEST(FeedbackReport, LastCharactersNeverCutsASurrogatePair) {
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two UTF-16 units
    QString text = QStringLiteral("ab") + face + QStringLiteral("cd");
    EXPECT_EQ(FeedbackReport::lastCharacters(text, 3), face + QStringLiteral("cd"));
    EXPECT_EQ(FeedbackReport::lastCharacters(text, 2), QStringLiteral("cd"));
    EXPECT_EQ(FeedbackReport::lastCharacters(text, 99), text);
    EXPECT_EQ(FeedbackReport::lastCharacters(text, 0), QString());
}

TEST(FeedbackClient, BodyHasTheAgreedKeysAndCutsDiagnosticsToTheirLast15000Characters) {
    QString diagnostics =
        QString(5000, QLatin1Char('a')) + QString(14999, QLatin1Char('b')) + QLatin1Char('z');
    FeedbackReport report{QStringLiteral(" \tann@example.org  "), QStringLiteral("It works.\n"),
                          QStringLiteral("menu"), QStringLiteral("E42"), diagnostics};
    QJsonObject body = FeedbackClient::body(report, product(), QStringLiteral("dev-1"));
    QStringList keys = body.keys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"app_id", "app_version", "context", "device_id", "email", "log_summary",
                                 "message", "platform"}));
    EXPECT_EQ(body.value("email").toString(), "ann@example.org");
    EXPECT_EQ(body.value("message").toString(), "It works.\n");
    EXPECT_EQ(body.value("app_id").toString(), "hushcoffer");
    EXPECT_EQ(body.value("app_version").toString(), "1.4.2");
    EXPECT_EQ(body.value("device_id").toString(), "dev-1");
    EXPECT_EQ(body.value("platform").toString(), "linux");
    QString summary = body.value("log_summary").toString();
    EXPECT_EQ(summary.size(), 15000);
    EXPECT_EQ(summary, diagnostics.right(15000));
    EXPECT_TRUE(summary.startsWith(QLatin1Char('b')) && summary.endsWith(QLatin1Char('z')));
    QJsonObject context = body.value("context").toObject();
    EXPECT_EQ(context.value("scene").toString(), "menu");
    EXPECT_EQ(context.value("code").toString(), "E42");
    EXPECT_EQ(context.value("product").toString(), "Hushcoffer");
    EXPECT_EQ(context.value("os").toString(), SystemInfo::osVersion());
    EXPECT_TRUE(context.value("os").toString().contains(SystemInfo::kernelRelease()));

    report.diagnostics.reset();
    EXPECT_EQ(FeedbackClient::body(report, product(), "d").value("log_summary"), QJsonValue(QString()));
}

TEST(SystemInfo, PrettyNameFromOsRelease) {
    EXPECT_EQ(SystemInfo::prettyNameFrom("NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(SystemInfo::prettyNameFrom("PRETTY_NAME=Arch\n"), "Arch");
    EXPECT_EQ(SystemInfo::prettyNameFrom("PRETTY_NAME='Fedora 40'\n"), "Fedora 40");
    EXPECT_EQ(SystemInfo::prettyNameFrom("PRETTY_NAME=\"Say \\\"hi\\\"\"\n"), "Say \"hi\"");
    EXPECT_EQ(SystemInfo::prettyNameFrom("NAME=x\n"), "");
    EXPECT_FALSE(SystemInfo::prettyName().isEmpty());
}

class FeedbackSend : public ::testing::Test {
protected:
    void SetUp() override {
        ensureQtApplication();
        setenv(WebService::environmentVariable, server.base().toUtf8().constData(), 1);
    }
    void TearDown() override { unsetenv(WebService::environmentVariable); }

    // Sends one report and waits for the answer.
    std::optional<QString> send() {
        FeedbackReport report{QStringLiteral("ann@example.org"), QStringLiteral("hello"),
                              QStringLiteral("menu"), QStringLiteral("E7"), QStringLiteral("diag")};
        QObject receiver;
        bool answered = false;
        std::optional<QString> error;
        FeedbackClient::send(report, product(), QStringLiteral("dev-9"), &receiver,
                             [&](const std::optional<QString>& e) {
                                 answered = true;
                                 error = e;
                             });
        QDeadlineTimer deadline(10000);
        while (!answered && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_TRUE(answered);
        return error;
    }
    TestHttpServer server;
};

TEST_F(FeedbackSend, SuccessIsA200WithSuccessTrueAndIsLogged) {
    QTemporaryDir dir;
    Log::shared().configure((dir.path() + QStringLiteral("/app.log")).toStdString());
    server.setHandler([](const auto&) { return TestHttpServer::Reply{200, R"({"success":true,"id":12})"}; });
    EXPECT_EQ(send(), std::nullopt);
    ASSERT_EQ(server.requests().size(), 1u);
    const auto& r = server.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/api/feedback");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.json().value("message").toString(), "hello");
    EXPECT_EQ(r.json().value("log_summary").toString(), "diag");
    EXPECT_NE(
        QString::fromStdString(Log::shared().tail(4000)).indexOf("[INFO] feedback sent (scene=menu code=E7)"),
        -1);
}

TEST_F(FeedbackSend, AnythingButSuccessTrueIsAServerErrorWithTheStatus) {
    struct Case {
        int status;
        QByteArray body;
        const char* error;
    };
    for (const Case& c :
         {Case{200, R"({"success":false})", "server error 200"},
          Case{200, R"({"success":"true"})", "server error 200"},
          Case{200, R"({"ok":true})", "server error 200"}, Case{200, "", "server error 200"},
          Case{200, "[true]", "server error 200"}, Case{500, R"({"success":true})", "server error 500"},
          Case{404, "not found", "server error 404"}, Case{429, "{}", "server error 429"}}) {
        server.setHandler([&](const auto&) { return TestHttpServer::Reply{c.status, c.body}; });
        EXPECT_EQ(send(), QString::fromLatin1(c.error)) << c.status << " " << c.body.toStdString();
    }
}

TEST_F(FeedbackSend, ATransportFailureGivesTheTransportsDescription) {
    server.setHandler([](const auto&) { return TestHttpServer::Reply{200, {}, true}; });
    auto hungUp = send();
    ASSERT_TRUE(hungUp.has_value());
    EXPECT_FALSE(hungUp->startsWith("server error")) << hungUp->toStdString();
    EXPECT_FALSE(hungUp->isEmpty());

    setenv(WebService::environmentVariable, TestHttpServer::unreachableBase().toUtf8().constData(), 1);
    auto refused = send();
    ASSERT_TRUE(refused.has_value());
    EXPECT_FALSE(refused->startsWith("server error")) << refused->toStdString();
    EXPECT_TRUE(refused->contains("refused", Qt::CaseInsensitive)) << refused->toStdString();
}

TEST_F(FeedbackSend, WithoutAServiceNothingIsSent) {
    for (const char* base : {"", "http://example.org", "ftp://127.0.0.1", "not a url"}) {
        setenv(WebService::environmentVariable, base, 1);
        auto error = send();
        EXPECT_TRUE(error.has_value()) << base;
    }
    EXPECT_TRUE(server.requests().empty());
}

} // namespace
