// Telemetry against a real HTTP server on 127.0.0.1.
#include "TestHttpServer.h"

#include "kxcore/AppPaths.h"
#include "kxcore/DeviceIdentity.h"
#include "kxcore/HTTPTelemetrySink.h"
#include "kxcore/ProductInfo.h"
#include "kxcore/Settings.h"
#include "kxcore/Telemetry.h"
#include "kxcore/WebService.h"

#include <QDateTime>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kxcore;
using namespace std::chrono_literals;

namespace {

class TelemetryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureQtApplication();
        unsetenv("KX_TELEMETRY");
    }
    void TearDown() override { unsetenv("KX_TELEMETRY"); }

    // A telemetry whose batches go to the test server.
    std::unique_ptr<Telemetry> make(std::chrono::milliseconds delay) {
        auto t = std::make_unique<Telemetry>(delay);
        t->configure(QStringLiteral("hushcoffer"), QStringLiteral("1.2.3"), QStringLiteral("device-1"), true,
                     std::make_shared<HTTPTelemetrySink>(server.url(QStringLiteral("/api/app_logs"))));
        return t;
    }
    static QStringList names(const TestHttpServer::Request& r) {
        QStringList out;
        for (const auto& e : r.json().value(QLatin1String("events")).toArray())
            out << e.toObject().value(QLatin1String("event")).toString();
        return out;
    }
    static QJsonArray events(const TestHttpServer::Request& r) {
        return r.json().value(QLatin1String("events")).toArray();
    }

    TestHttpServer server;
};

TEST_F(TelemetryTest, TheFirstFiftyEventsLeaveInOneRequestAndTheFiftyFirstIsDropped) {
    auto t = make(10min); // only the explicit flush sends
    for (int i = 0; i < 51; ++i)
        t->track(QStringLiteral("kx_task_done"), QString::number(i));
    EXPECT_EQ(t->queuedCount(), 50);
    t->flush();
    EXPECT_EQ(t->queuedCount(), 0);
    ASSERT_TRUE(server.waitForRequests(1));
    TestHttpServer::spin(200);
    ASSERT_EQ(server.requests().size(), 1u);

    const auto& r = server.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/api/app_logs");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_FALSE(r.body.contains('\n')) << "compact JSON";
    QJsonArray batch = events(r);
    ASSERT_EQ(batch.size(), 50);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(batch[i].toObject().value(QLatin1String("message")).toString(), QString::number(i));
}

TEST_F(TelemetryTest, AnEventRecordHoldsExactlyTheAgreedFields) {
    auto t = make(10min);
    const qint64 before = QDateTime::currentSecsSinceEpoch() * 1000;
    t->track(QStringLiteral("first_open"), QStringLiteral("hello"), QJsonObject{{QStringLiteral("n"), 3}});
    t->track(QStringLiteral("daily_active"), QStringLiteral("launch"));
    t->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    QJsonArray batch = events(server.requests()[0]);
    ASSERT_EQ(batch.size(), 2);
    QJsonObject e = batch[0].toObject();
    QStringList keys = e.keys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"app_id", "app_version", "device_id", "event", "level", "message", "payload",
                                 "platform", "session_id", "timestamp"}));
    EXPECT_EQ(e.value("level").toString(), "info");
    EXPECT_EQ(e.value("event").toString(), "first_open");
    EXPECT_EQ(e.value("message").toString(), "hello");
    EXPECT_EQ(e.value("app_id").toString(), "hushcoffer");
    EXPECT_EQ(e.value("app_version").toString(), "1.2.3");
    EXPECT_EQ(e.value("device_id").toString(), "device-1");
    EXPECT_EQ(e.value("platform").toString(), "linux");
    EXPECT_EQ(e.value("payload").toObject(), (QJsonObject{{QStringLiteral("n"), 3}}));
    EXPECT_EQ(batch[1].toObject().value("payload").toObject(), QJsonObject());
    // Whole seconds, in milliseconds.
    qint64 ts = qint64(e.value("timestamp").toDouble());
    EXPECT_EQ(ts % 1000, 0);
    EXPECT_GE(ts, before);
    EXPECT_LE(ts, QDateTime::currentSecsSinceEpoch() * 1000);
    // One session id per run, lower case, in every event.
    QString session = e.value("session_id").toString();
    EXPECT_EQ(session, t->sessionID());
    EXPECT_EQ(session, session.toLower());
    EXPECT_EQ(batch[1].toObject().value("session_id").toString(), session);
}

TEST_F(TelemetryTest, EventsWithinTheDelayLeaveTogetherInOneDelayedRequest) {
    auto t = make(400ms);
    t->track(QStringLiteral("daily_active"), QStringLiteral("a"));
    TestHttpServer::spin(100);
    t->track(QStringLiteral("kx_task_done"), QStringLiteral("b"));
    EXPECT_TRUE(server.requests().empty()) << "nothing leaves before the delay";
    ASSERT_TRUE(server.waitForRequests(1));
    TestHttpServer::spin(700); // a second flush would have come by now
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(names(server.requests()[0]), (QStringList{"daily_active", "kx_task_done"}));

    // The next event starts a new batch with its own delayed flush.
    t->track(QStringLiteral("kx_task_failed"), QStringLiteral("c"));
    ASSERT_TRUE(server.waitForRequests(2));
    EXPECT_EQ(names(server.requests()[1]), QStringList{"kx_task_failed"});
}

TEST_F(TelemetryTest, NamesOutsideTheAllowedSetAreNeverSent) {
    auto t = make(10min);
    for (const char* name :
         {"kx_task_done", "vault_created", "", "DAILY_ACTIVE", "first_open", "daily_active "})
        t->track(QString::fromUtf8(name), QStringLiteral("m"));
    t->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(names(server.requests()[0]), (QStringList{"kx_task_done", "first_open"}));
}

TEST_F(TelemetryTest, SwitchingOffEmptiesTheQueueAndNothingOfItIsSentLater) {
    auto t = make(300ms);
    for (int i = 0; i < 3; ++i)
        t->track(QStringLiteral("kx_task_done"), QStringLiteral("before"));
    t->setEnabled(false);
    EXPECT_EQ(t->queuedCount(), 0);
    t->track(QStringLiteral("kx_task_done"), QStringLiteral("while off"));
    EXPECT_EQ(t->queuedCount(), 0);
    t->setEnabled(true);
    TestHttpServer::spin(600); // the scheduled flush finds nothing
    EXPECT_TRUE(server.requests().empty());

    t->track(QStringLiteral("kx_task_done"), QStringLiteral("after"));
    ASSERT_TRUE(server.waitForRequests(1));
    QJsonArray batch = events(server.requests()[0]);
    ASSERT_EQ(batch.size(), 1);
    EXPECT_EQ(batch[0].toObject().value("message").toString(), "after");
}

TEST_F(TelemetryTest, OnlyKxTelemetryZeroForcesTelemetryOff) {
    struct Case {
        const char* value; // nullptr: not set
        bool on;
    };
    for (Case c : {Case{nullptr, true}, Case{"0", false}, Case{"1", true}, Case{"", true}, Case{"00", true},
                   Case{"false", true}}) {
        if (c.value)
            setenv("KX_TELEMETRY", c.value, 1);
        else
            unsetenv("KX_TELEMETRY");
        Telemetry t(10min);
        t.configure("a", "1", "d", true);
        EXPECT_EQ(t.isEnabled(), c.on) << (c.value ? c.value : "(unset)");
        t.setEnabled(true);
        EXPECT_EQ(t.isEnabled(), c.on) << (c.value ? c.value : "(unset)");
        t.track(QStringLiteral("first_open"), QStringLiteral("m"));
        EXPECT_EQ(t.queuedCount(), c.on ? 1 : 0);
        // The setting off always wins.
        t.configure("a", "1", "d", false);
        EXPECT_FALSE(t.isEnabled());
    }
}

TEST_F(TelemetryTest, ConfigureLeavesTheQueueAndASinkWithoutServiceDropsBatches) {
    auto t = make(10min);
    t->track(QStringLiteral("first_open"), QStringLiteral("m"));
    t->configure("a", "1", "d", true, std::make_shared<HTTPTelemetrySink>(QUrl()));
    EXPECT_EQ(t->queuedCount(), 1);
    t->flush();
    TestHttpServer::spin(300);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(TelemetryTest, StartUpSendsDailyActiveLaunchToTheConfiguredService) {
    QTemporaryDir dir;
    AppPaths paths(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hushcoffer"), dir.path());
    Settings settings(dir.path() + QStringLiteral("/settings.ini"));
    ProductInfo product;
    product.id = QStringLiteral("hushcoffer");
    product.version = QStringLiteral("1.0.0");
    setenv(WebService::environmentVariable, server.base().toUtf8().constData(), 1);
    startTelemetry(product, paths, settings);
    unsetenv(WebService::environmentVariable);
    Telemetry::shared().flush(); // rather than waiting five seconds
    ASSERT_TRUE(server.waitForRequests(1));
    const auto& r = server.requests()[0];
    EXPECT_EQ(r.path, "/api/app_logs");
    QJsonArray batch = events(r);
    ASSERT_EQ(batch.size(), 1);
    QJsonObject e = batch[0].toObject();
    EXPECT_EQ(e.value("event").toString(), "daily_active");
    EXPECT_EQ(e.value("message").toString(), "launch");
    EXPECT_EQ(e.value("device_id").toString(), DeviceIdentity::anonymousID(paths));

    // The user's choice "off" is honoured at start.
    settings.setTelemetry(false);
    startTelemetry(product, paths, settings);
    EXPECT_FALSE(Telemetry::shared().isEnabled());
    EXPECT_EQ(Telemetry::shared().queuedCount(), 0);
}

} // namespace
