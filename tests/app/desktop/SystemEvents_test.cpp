// The system event sources against real D-Bus services on private buses:
// python3-dbusmock's logind template (sleep, inhibitors, session lock) on a
// bus standing in for the system bus, and small mock screen savers and idle
// monitors on the session bus the tests run under.
#include "app/desktop/LogindSessionLockMonitor.h"
#include "app/desktop/LogindSleepMonitor.h"
#include "app/desktop/MutterIdleMonitor.h"
#include "app/desktop/ScreenSaverIdleMonitor.h"
#include "app/desktop/ScreenSaverLockMonitor.h"
#include "app/desktop/X11IdleMonitor.h"
#include "model/support/ModelTestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace modeltest;

namespace {

constexpr const char* login1 = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* manager = "org.freedesktop.login1.Manager";

struct Inhibitor {
    QString what, who, why, mode;
};

// ListInhibitors of the mock: a(ssssuu).
std::vector<Inhibitor> inhibitors(DBusMock& logind) {
    const QVariantList reply = logind.invoke(managerPath, manager, "ListInhibitors");
    std::vector<Inhibitor> out;
    if (reply.isEmpty()) return out;
    const QDBusArgument arg = reply[0].value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        Inhibitor i;
        uint uid = 0, pid = 0;
        arg.beginStructure();
        arg >> i.what >> i.who >> i.why >> i.mode >> uid >> pid;
        arg.endStructure();
        out.push_back(i);
    }
    arg.endArray();
    return out;
}

class LogindTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
        system = bus.connect("hc-system");
        control = bus.connect("hc-control");
        ASSERT_TRUE(system.isConnected());
        logind = std::make_unique<DBusMock>(bus.address(), true, QStringList{"--template", "logind"}, login1,
                                            control);
        ASSERT_TRUE(logind->ok()) << logind->errorOutput().toStdString();
    }
    void prepareForSleep(bool start) {
        logind->emitSignal(managerPath, manager, "PrepareForSleep", "b", {start});
    }

    PrivateBus bus;
    QDBusConnection system{QString()};
    QDBusConnection control{QString()};
    std::unique_ptr<DBusMock> logind;
};

TEST_F(LogindTest, TheSleepDelayIsTakenWhileWantedReleasedAfterThePassAndRetakenOnResume) {
    LogindSleepMonitor monitor(system);
    ASSERT_TRUE(monitor.isListening());
    QSignalSpy sleeping(&monitor, &SleepSource::aboutToSleep);
    EXPECT_TRUE(inhibitors(*logind).empty());

    monitor.setDelayWanted(true);
    ASSERT_TRUE(spinUntil([&] { return monitor.holdsInhibitor() && inhibitors(*logind).size() == 1; }));
    const Inhibitor held = inhibitors(*logind)[0];
    EXPECT_EQ(held.what, "sleep");
    EXPECT_EQ(held.who, "Hushcoffer");
    EXPECT_EQ(held.mode, "delay");
    EXPECT_FALSE(held.why.isEmpty());
    EXPECT_TRUE(monitor.holdsInhibitor());
    monitor.setDelayWanted(true); // asked again every refresh: still one
    spinFor(200);
    EXPECT_EQ(inhibitors(*logind).size(), 1u);

    prepareForSleep(true);
    ASSERT_TRUE(spinUntil([&] { return sleeping.count() == 1; }));
    // held through the pass...
    spinFor(200);
    EXPECT_EQ(inhibitors(*logind).size(), 1u);
    // ...and let go when it is over, even though vaults still want it
    monitor.setDelayWanted(true);
    monitor.sleepPassDone();
    EXPECT_TRUE(spinUntil([&] { return inhibitors(*logind).empty(); }));
    monitor.setDelayWanted(true); // not during the sleep
    spinFor(200);
    EXPECT_TRUE(inhibitors(*logind).empty());

    prepareForSleep(false); // resumed: a new one for the next sleep
    EXPECT_TRUE(spinUntil([&] { return monitor.holdsInhibitor() && inhibitors(*logind).size() == 1; }));

    monitor.setDelayWanted(false); // nothing left to lock: released
    EXPECT_TRUE(spinUntil([&] { return inhibitors(*logind).empty(); }));
    prepareForSleep(true);
    EXPECT_TRUE(spinUntil([&] { return sleeping.count() == 2; }));
    prepareForSleep(false);
    spinFor(200);
    EXPECT_TRUE(inhibitors(*logind).empty());
}

TEST_F(LogindTest, WithoutAnInhibitorTheSleepSignalStillStartsThePass) {
    // a logind that refuses inhibitors
    logind->addMethod(
        managerPath, manager, "Inhibit", "ssss", "h",
        "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')");
    LogLines log;
    LogindSleepMonitor monitor(system);
    QSignalSpy sleeping(&monitor, &SleepSource::aboutToSleep);
    monitor.setDelayWanted(true);
    ASSERT_TRUE(spinUntil([&] { return !log.matching("logind gives no sleep delay").empty(); }));
    EXPECT_FALSE(monitor.holdsInhibitor());
    prepareForSleep(true);
    EXPECT_TRUE(spinUntil([&] { return sleeping.count() == 1; }));
}

TEST_F(LogindTest, TheSessionsLockSignalIsAScreenLockBySessionIdOrByPid) {
    logind->call(managerPath, "AddSession", {"c7", "seat0", 1000u, "user", true});
    {
        LogindSessionLockMonitor monitor(system, "c7");
        QSignalSpy ready(&monitor, &LogindSessionLockMonitor::ready);
        QSignalSpy locked(&monitor, &ScreenLockSource::screenLocked);
        ASSERT_TRUE(spinUntil([&] { return ready.count() == 1; }));
        EXPECT_TRUE(ready[0][0].toBool());
        EXPECT_EQ(monitor.sessionPath(), "/org/freedesktop/login1/session/c7");
        logind->invoke("/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session", "Lock");
        EXPECT_TRUE(spinUntil([&] { return locked.count() == 1; }));
        logind->invoke("/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session", "Unlock");
        spinFor(200);
        EXPECT_EQ(locked.count(), 1);
    }
    // no session id: the session of this process
    logind->call(managerPath, "AddSession", {"c8", "seat0", 1000u, "user", true});
    logind->addMethod(
        managerPath, manager, "GetSessionByPID", "u", "o",
        QString("ret = dbus.ObjectPath('/org/freedesktop/login1/session/c8') if args[0] == %1 else "
                "dbus.ObjectPath('/nope')")
            .arg(::getpid()));
    const QByteArray saved = qgetenv("XDG_SESSION_ID");
    qunsetenv("XDG_SESSION_ID");
    LogindSessionLockMonitor monitor(system);
    if (!saved.isNull()) qputenv("XDG_SESSION_ID", saved);
    QSignalSpy ready(&monitor, &LogindSessionLockMonitor::ready);
    QSignalSpy locked(&monitor, &ScreenLockSource::screenLocked);
    ASSERT_TRUE(spinUntil([&] { return ready.count() == 1; }));
    EXPECT_EQ(monitor.sessionPath(), "/org/freedesktop/login1/session/c8");
    // another session's lock is not ours
    logind->invoke("/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session", "Lock");
    spinFor(200);
    EXPECT_EQ(locked.count(), 0);
    logind->invoke("/org/freedesktop/login1/session/c8", "org.freedesktop.login1.Session", "Lock");
    EXPECT_TRUE(spinUntil([&] { return locked.count() == 1; }));
}

// Whether logind answers decides whether locking on sleep can work: a bus
// without logind is learnt from the first question.
TEST_F(LogindTest, TheSleepSourceIsReachableOnlyWhereLogindAnswers) {
    {
        LogindSleepMonitor monitor(system);
        QSignalSpy changed(&monitor, &SleepSource::reachableChanged);
        spinFor(300);
        EXPECT_TRUE(monitor.reachable());
        EXPECT_EQ(changed.count(), 0);
    }
    logind.reset(); // the mock goes: nobody answers for logind
    LogindSleepMonitor monitor(system);
    QSignalSpy changed(&monitor, &SleepSource::reachableChanged);
    ASSERT_TRUE(spinUntil([&] { return changed.count() == 1; }));
    EXPECT_FALSE(monitor.reachable());
    EXPECT_FALSE(LogindSleepMonitor(QDBusConnection(QString())).reachable()) << "no bus at all";
}

TEST_F(LogindTest, AnUnknownSessionIsReportedNotListenedTo) {
    logind->addMethod(
        managerPath, manager, "GetSession", "s", "o",
        "raise dbus.exceptions.DBusException('none', name='org.freedesktop.login1.NoSuchSession')");
    LogindSessionLockMonitor monitor(system, "c99");
    QSignalSpy ready(&monitor, &LogindSessionLockMonitor::ready);
    ASSERT_TRUE(spinUntil([&] { return ready.count() == 1; }));
    EXPECT_FALSE(ready[0][0].toBool());
}

// ---- Session bus: screen savers and idle monitors --------------------------------

class SessionBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        ASSERT_FALSE(address.isEmpty());
        session = QDBusConnection::sessionBus();
        ASSERT_TRUE(session.isConnected());
    }
    std::unique_ptr<DBusMock> mock(const QString& name, const QString& path) {
        auto m = std::make_unique<DBusMock>(address, false, QStringList{name, path, name}, name, session);
        EXPECT_TRUE(m->ok()) << m->errorOutput().toStdString();
        return m;
    }
    QString address;
    QDBusConnection session{QString()};
};

TEST_F(SessionBusTest, ActiveChangedTrueOfEachScreenSaverIsALock) {
    struct Case {
        ScreenSaverLockMonitor::Service service;
        QString path;
    };
    for (const Case& c : {Case{ScreenSaverLockMonitor::freedesktop(), "/org/freedesktop/ScreenSaver"},
                          Case{ScreenSaverLockMonitor::freedesktop(), "/ScreenSaver"},
                          Case{ScreenSaverLockMonitor::gnome(), "/org/gnome/ScreenSaver"},
                          Case{ScreenSaverLockMonitor::xfce(), "/org/xfce/ScreenSaver"}}) {
        SCOPED_TRACE((c.service.name + c.path).toStdString());
        // listening before the service starts
        ScreenSaverLockMonitor monitor(session, c.service);
        ASSERT_TRUE(monitor.isListening());
        QSignalSpy locked(&monitor, &ScreenLockSource::screenLocked);
        auto saver = mock(c.service.name, c.path);
        saver->emitSignal(c.path, c.service.interface, "ActiveChanged", "b", {false});
        spinFor(200);
        EXPECT_EQ(locked.count(), 0);
        saver->emitSignal(c.path, c.service.interface, "ActiveChanged", "b", {true});
        EXPECT_TRUE(spinUntil([&] { return locked.count() == 1; }));
        // another service's signal with the same name is not this one's
        saver->emitSignal(c.path, "org.example.Other", "ActiveChanged", "b", {true});
        spinFor(200);
        EXPECT_EQ(locked.count(), 1);
    }
}

std::optional<double> ask(IdleSource& source) {
    std::optional<std::optional<double>> answer;
    source.idleSeconds([&](std::optional<double> s) { answer = s; });
    EXPECT_TRUE(spinUntil([&] { return answer.has_value(); }));
    return answer.value_or(std::nullopt);
}

TEST_F(SessionBusTest, MutterAnswersInMilliseconds) {
    MutterIdleMonitor monitor(session);
    EXPECT_EQ(ask(monitor), std::nullopt); // no service
    auto mutter = mock("org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core");
    mutter->addMethod("/org/gnome/Mutter/IdleMonitor/Core", "org.gnome.Mutter.IdleMonitor", "GetIdletime", "",
                      "t", "ret = dbus.UInt64(299500)");
    EXPECT_EQ(ask(monitor), 299.5);
}

TEST_F(SessionBusTest, TheScreenSaversIdleTimeIsMillisecondsOnlyFromKde) {
    ScreenSaverIdleMonitor monitor(session);
    EXPECT_EQ(ask(monitor), std::nullopt); // no service

    // GNOME's proxy: an error, which means "cannot tell"
    {
        auto gnome = mock("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver");
        gnome->addMethod(
            "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "GetSessionIdleTime", "", "u",
            "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.NotSupported')");
        EXPECT_EQ(ask(monitor), std::nullopt);
    }
    spinUntil(
        [&] { return !session.interface()->isServiceRegistered("org.freedesktop.ScreenSaver").value(); });

    // a service that is not KDE's answers in seconds
    auto plain = mock("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver");
    plain->addMethod("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "GetSessionIdleTime", "",
                     "u", "ret = dbus.UInt32(300)");
    EXPECT_FALSE(monitor.answersInMilliseconds());
    EXPECT_EQ(ask(monitor), 300.0);
    plain.reset();
    spinUntil(
        [&] { return !session.interface()->isServiceRegistered("org.freedesktop.ScreenSaver").value(); });

    // KDE's screen locker owns org.kde.screensaver on the same connection
    QDBusConnection kde = QDBusConnection::connectToBus(address, "hc-kde");
    ASSERT_TRUE(kde.registerService("org.kde.screensaver"));
    auto kdeSaver = mock("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver");
    EXPECT_FALSE(monitor.answersInMilliseconds()); // different owners
    kdeSaver.reset();
    spinUntil(
        [&] { return !session.interface()->isServiceRegistered("org.freedesktop.ScreenSaver").value(); });
    FakeKdeScreenSaver object;
    object.idleMs = 300'000;
    ASSERT_TRUE(kde.registerObject("/org/freedesktop/ScreenSaver", &object, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(kde.registerService("org.freedesktop.ScreenSaver"));
    EXPECT_TRUE(monitor.answersInMilliseconds());
    EXPECT_EQ(ask(monitor), 300.0); // 300000 ms
    kde.unregisterObject("/org/freedesktop/ScreenSaver");
    kde.unregisterService("org.freedesktop.ScreenSaver");
    kde.unregisterService("org.kde.screensaver");
    QDBusConnection::disconnectFromBus("hc-kde");
}

TEST(X11Idle, WithoutADisplayItCannotTell) {
    const QByteArray saved = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    X11IdleMonitor monitor;
    std::optional<std::optional<double>> answer;
    monitor.idleSeconds([&](std::optional<double> s) { answer = s; });
    ASSERT_TRUE(answer.has_value());
    EXPECT_FALSE(answer->has_value());
    if (!saved.isNull()) qputenv("DISPLAY", saved);
}

} // namespace
