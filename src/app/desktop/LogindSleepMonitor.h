#pragma once

#include "app/desktop/SleepSource.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>

#include <memory>

// Sleep through logind (org.freedesktop.login1 on the system bus).
//
// While the model wants a delay, a "delay" inhibitor lock for "sleep" is
// held (Inhibit returns a file descriptor; sleep waits until it is closed, at
// most logind's InhibitDelayMaxUSec, 5 s by default). PrepareForSleep(true)
// emits aboutToSleep(); when the model's pass is over (sleepPassDone) the
// descriptor is closed so the machine sleeps. PrepareForSleep(false), the
// resume, takes a new one if it is still wanted. Without an inhibitor (logind
// refuses, or none is wanted) the pass still runs on the signal, only without
// the guarantee that it ends before the machine sleeps.
class LogindSleepMonitor final : public SleepSource {
    Q_OBJECT
public:
    static constexpr const char* service = "org.freedesktop.login1";
    static constexpr const char* path = "/org/freedesktop/login1";
    static constexpr const char* interface = "org.freedesktop.login1.Manager";

    // `bus` is the system bus in the application, a private bus in tests.
    explicit LogindSleepMonitor(QDBusConnection bus, QObject* parent = nullptr);
    ~LogindSleepMonitor() override;

    // Whether the PrepareForSleep signal is being listened to.
    bool isListening() const { return listening_; }
    // Whether an inhibitor descriptor is held right now.
    bool holdsInhibitor() const { return fd_ != nullptr; }

    void setDelayWanted(bool wanted) override;
    void sleepPassDone() override;
    // logind's InhibitDelayMaxUSec (asked once at start) less a margin.
    int passTimeLimitMs() const override { return passTimeLimitMs_; }
    // False when the bus is not there or logind does not answer the first
    // question (its sleep delay), true until then.
    bool reachable() const override { return reachable_; }

private slots:
    void onPrepareForSleep(bool start);

private:
    void take();
    void release();

    QDBusConnection bus_;
    bool listening_ = false;
    bool reachable_ = true;
    bool wanted_ = false;
    bool sleeping_ = false;
    bool requesting_ = false;
    bool refusalLogged_ = false;
    std::unique_ptr<QDBusUnixFileDescriptor> fd_;
    int passTimeLimitMs_ = 4'500; // logind's default of 5 s less the margin
};
