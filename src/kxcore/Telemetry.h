#pragma once

#include "kxcore/TelemetrySink.h"

#include <QJsonObject>
#include <QString>

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace kxcore {

class AppPaths;
class Settings;
struct ProductInfo;

// Anonymous usage events, sent in small batches.
//
// track() accepts only the names of allowedEvents, and only while enabled; it
// appends an event record to a queue of at most 50 (further events are lost)
// and, for the first event of a batch, schedules one flush `flushDelay` later
// (5 s by default) on the telemetry's own timer thread. flush() hands the
// whole queue to the sink at once. Nothing is retried; events still queued
// at exit are lost.
//
// The environment variable KX_TELEMETRY set to exactly "0" keeps telemetry
// off whatever configure() or setEnabled() say.
//
// Every field is guarded by one lock, never held while the sink is called;
// all operations may be called from any thread.
class Telemetry {
public:
    static constexpr int maxQueue = 50;
    static constexpr std::chrono::milliseconds defaultFlushDelay{5000};
    static constexpr std::array<std::string_view, 4> allowedEvents{"first_open", "daily_active",
                                                                   "kx_task_done", "kx_task_failed"};
    static constexpr const char* platform = "linux";

    // The one telemetry of the program; its sink drops everything until
    // configure() gives it one.
    static Telemetry& shared();

    explicit Telemetry(std::chrono::milliseconds flushDelay = defaultFlushDelay);
    ~Telemetry(); // stops the timer; queued events are lost
    Telemetry(const Telemetry&) = delete;
    Telemetry& operator=(const Telemetry&) = delete;

    static bool isAllowed(const QString& event);
    // KX_TELEMETRY is exactly "0".
    static bool forcedOff();

    // Stores the three texts and the enabled state (unless forced off); a
    // given sink replaces the current one. The queue is left as it is.
    void configure(const QString& appID, const QString& version, const QString& deviceID, bool enabled,
                   std::shared_ptr<TelemetrySink> sink = nullptr);
    // Switches telemetry on (unless forced off) or off; off empties the queue.
    void setEnabled(bool on);
    bool isEnabled() const;
    QString sessionID() const;
    int queuedCount() const;

    void track(const QString& event, const QString& message, const QJsonObject& payload = {});
    void flush();

private:
    void scheduleFlush();
    void timerLoop();

    mutable std::mutex lock_;
    bool enabled_ = false;
    QString appID_;
    QString version_;
    QString deviceID_;
    QString sessionID_;
    std::shared_ptr<TelemetrySink> sink_;
    QJsonArray queue_;
    bool flushScheduled_ = false;

    // The delayed flush.
    const std::chrono::milliseconds flushDelay_;
    std::mutex timerMutex_;
    std::condition_variable timerWake_;
    bool timerArmed_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::thread timer_;
};

// At start (once per launch): configures Telemetry::shared() for the product
// with the installation's anonymous id, the user's choice "kx.telemetry" and
// an HTTP sink for the web service's "/api/app_logs" (none when the service is
// not configured), then tracks "daily_active" with the message "launch".
void startTelemetry(const ProductInfo& product, const AppPaths& paths, const Settings& settings);

} // namespace kxcore
