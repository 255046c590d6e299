#include "kxcore/Telemetry.h"

#include "kxcore/AppPaths.h"
#include "kxcore/DeviceIdentity.h"
#include "kxcore/HTTPTelemetrySink.h"
#include "kxcore/ProductInfo.h"
#include "kxcore/Settings.h"
#include "kxcore/WebService.h"

#include <QDateTime>
#include <QUuid>

#include <algorithm>

namespace kxcore {

namespace {

class DroppingSink : public TelemetrySink {
public:
    void send(QJsonArray) override {}
};

} // namespace

Telemetry& Telemetry::shared() {
    static Telemetry instance;
    return instance;
}

Telemetry::Telemetry(std::chrono::milliseconds flushDelay)
    : sessionID_(QUuid::createUuid().toString(QUuid::WithoutBraces).toLower())
    , sink_(std::make_shared<DroppingSink>())
    , flushDelay_(flushDelay) {}

Telemetry::~Telemetry() {
    {
        std::lock_guard g(timerMutex_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    if (timer_.joinable()) timer_.join();
}

bool Telemetry::isAllowed(const QString& event) {
    const std::string name = event.toStdString();
    return std::find(allowedEvents.begin(), allowedEvents.end(), name) != allowedEvents.end();
}

bool Telemetry::forcedOff() {
    return qEnvironmentVariableIsSet("KX_TELEMETRY") &&
           qEnvironmentVariable("KX_TELEMETRY") == QLatin1String("0");
}

void Telemetry::configure(const QString& appID, const QString& version, const QString& deviceID, bool enabled,
                          std::shared_ptr<TelemetrySink> sink) {
    const bool on = enabled && !forcedOff();
    std::lock_guard g(lock_);
    appID_ = appID;
    version_ = version;
    deviceID_ = deviceID;
    enabled_ = on;
    if (sink) sink_ = std::move(sink);
}

void Telemetry::setEnabled(bool on) {
    const bool result = on && !forcedOff();
    std::lock_guard g(lock_);
    enabled_ = result;
    if (!result) queue_ = QJsonArray();
}

bool Telemetry::isEnabled() const {
    std::lock_guard g(lock_);
    return enabled_;
}

QString Telemetry::sessionID() const {
    std::lock_guard g(lock_);
    return sessionID_;
}

int Telemetry::queuedCount() const {
    std::lock_guard g(lock_);
    return int(queue_.size());
}

void Telemetry::track(const QString& event, const QString& message, const QJsonObject& payload) {
    if (!isAllowed(event)) return;
    const qint64 timestamp = QDateTime::currentSecsSinceEpoch() * 1000;
    bool wasScheduled = false;
    {
        std::lock_guard g(lock_);
        if (!enabled_ || queue_.size() >= maxQueue) return;
        queue_.append(QJsonObject{
            {QStringLiteral("level"), QStringLiteral("info")},
            {QStringLiteral("event"), event},
            {QStringLiteral("message"), message},
            {QStringLiteral("app_id"), appID_},
            {QStringLiteral("app_version"), version_},
            {QStringLiteral("session_id"), sessionID_},
            {QStringLiteral("device_id"), deviceID_},
            {QStringLiteral("platform"), QLatin1String(platform)},
            {QStringLiteral("payload"), payload},
            {QStringLiteral("timestamp"), timestamp},
        });
        wasScheduled = flushScheduled_;
        flushScheduled_ = true;
    }
    if (!wasScheduled) scheduleFlush();
}

void Telemetry::flush() {
    QJsonArray batch;
    std::shared_ptr<TelemetrySink> sink;
    {
        std::lock_guard g(lock_);
        batch.swap(queue_);
        flushScheduled_ = false;
        sink = sink_;
    }
    if (batch.isEmpty() || !sink) return;
    sink->send(std::move(batch));
}

void Telemetry::scheduleFlush() {
    std::lock_guard g(timerMutex_);
    if (stopping_) return;
    deadline_ = std::chrono::steady_clock::now() + flushDelay_;
    timerArmed_ = true;
    if (!timer_.joinable())
        timer_ = std::thread([this] { timerLoop(); });
    else
        timerWake_.notify_all();
}

void Telemetry::timerLoop() {
    std::unique_lock g(timerMutex_);
    while (!stopping_) {
        if (!timerArmed_) {
            timerWake_.wait(g, [this] { return stopping_ || timerArmed_; });
            continue;
        }
        auto deadline = deadline_;
        if (timerWake_.wait_until(g, deadline,
                                  [this, deadline] { return stopping_ || deadline_ != deadline; }))
            continue; // stopping, or re-armed with another deadline
        timerArmed_ = false;
        g.unlock();
        flush();
        g.lock();
    }
}

void startTelemetry(const ProductInfo& product, const AppPaths& paths, const Settings& settings) {
    Telemetry& t = Telemetry::shared();
    // Without a service (an empty "service" in product.json) events are
    // dropped, never sent anywhere.
    const QUrl endpoint = WebService::endpoint(product, QLatin1String(WebService::telemetryPath));
    std::shared_ptr<TelemetrySink> sink;
    if (!endpoint.isEmpty()) sink = std::make_shared<HTTPTelemetrySink>(endpoint);
    t.configure(product.id, product.version, DeviceIdentity::anonymousID(paths), settings.telemetry(), sink);
    t.track(QStringLiteral("daily_active"), QStringLiteral("launch"));
}

} // namespace kxcore
