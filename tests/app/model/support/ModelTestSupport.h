#pragma once

#include "app/desktop/IdleSource.h"
#include "app/desktop/ScreenLockSource.h"
#include "app/desktop/SleepSource.h"
#include "app/desktop/EventSources.h"

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Helpers for the model's tests: event sources the test drives by hand, the
// log's lines, a private D-Bus bus and python3-dbusmock services on it.
namespace modeltest {

// Runs the event loop until `condition` holds or `seconds` pass.
bool spinUntil(const std::function<bool()>& condition, double seconds = 20);
// Runs the event loop for a while.
void spinFor(int milliseconds);

// Receives the URLs the desktop would open (QDesktopServices::setUrlHandler).
class UrlRecorder final : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// A screen saver that answers GetSessionIdleTime in milliseconds, as KDE's.
class FakeKdeScreenSaver final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    uint idleMs = 0;
public slots:
    uint GetSessionIdleTime() { return idleMs; }
};

class FakeSleep final : public SleepSource {
    Q_OBJECT
public:
    void setDelayWanted(bool wanted) override { delayWanted = wanted; }
    void sleepPassDone() override { ++passesDone; }
    int passTimeLimitMs() const override { return limitMs; }
    void sleep() { emit aboutToSleep(); }
    bool delayWanted = false;
    int passesDone = 0;
    int limitMs = 60'000; // longer than any pass of the tests unless set
};

class FakeScreenLock final : public ScreenLockSource {
    Q_OBJECT
public:
    QString name() const override { return QStringLiteral("fake screen lock"); }
    void lockScreen() { emit screenLocked(); }
    void unlockScreen() { emit screenUnlocked(); }
};

class FakeIdle final : public IdleSource {
public:
    QString name() const override { return QStringLiteral("fake idle"); }
    void idleSeconds(Answer answer) override {
        ++asked;
        answer(seconds);
    }
    std::optional<double> seconds;
    int asked = 0;
};

// Sources the test keeps pointers to; the model owns them.
struct FakeSources {
    FakeSleep* sleep = nullptr;
    FakeScreenLock* screen = nullptr;
    FakeIdle* idle = nullptr;
    EventSources take();
    EventSources sources;
};
FakeSources makeFakeSources();

// Every entry of the log while it lives, as "LEVEL message".
class LogLines {
public:
    LogLines();
    ~LogLines();
    std::vector<std::string> all() const;
    // Lines that contain `part`.
    std::vector<std::string> matching(const std::string& part) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A private message bus (dbus-daemon with the session configuration), gone
// with the object. Stands in for the system bus too.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    bool ok() const { return !address_.isEmpty(); }
    const QString& address() const { return address_; }
    // A new connection of this process to the bus.
    QDBusConnection connect(const QString& name);

private:
    QProcess daemon_;
    QString address_;
    QStringList names_;
};

// One python3-dbusmock process on `busAddress` (as its system bus when
// `system`), with a template or a name/path/interface.
class DBusMock {
public:
    // e.g. {"--template", "logind"} or {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
    // "org.gnome.ScreenSaver"}
    DBusMock(const QString& busAddress, bool system, const QStringList& arguments, const QString& busName,
             QDBusConnection control);
    ~DBusMock();
    bool ok() const { return ok_; }
    // org.freedesktop.DBus.Mock calls on the object `path`.
    QVariantList call(const QString& path, const QString& method, const QVariantList& args);
    void emitSignal(const QString& path, const QString& interface, const QString& name,
                    const QString& signature, const QVariantList& args);
    void addMethod(const QString& path, const QString& interface, const QString& name, const QString& in,
                   const QString& out, const QString& code);
    // A plain method call on the mock's service.
    QVariantList invoke(const QString& path, const QString& interface, const QString& method,
                        const QVariantList& args = {});
    QString errorOutput();

private:
    QProcess process_;
    QString busName_;
    QDBusConnection control_;
    bool ok_ = false;
};

} // namespace modeltest
