#include "model/support/ModelTestSupport.h"

#include "kxcore/Log.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

namespace modeltest {

bool spinUntil(const std::function<bool()>& condition, double seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > static_cast<qint64>(seconds * 1000)) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void spinFor(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

FakeSources makeFakeSources() {
    FakeSources f;
    auto sleep = std::make_unique<FakeSleep>();
    auto screen = std::make_unique<FakeScreenLock>();
    auto idle = std::make_unique<FakeIdle>();
    f.sleep = sleep.get();
    f.screen = screen.get();
    f.idle = idle.get();
    f.sources.sleep = std::move(sleep);
    f.sources.screenLocks.push_back(std::move(screen));
    f.sources.idle.push_back(std::move(idle));
    return f;
}

EventSources FakeSources::take() {
    return std::move(sources);
}

// ---- LogLines ----

LogLines::LogLines() {
    kxcore::Log::shared().setSystemSink([this](kxcore::Log::Level level, const std::string& message) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::string(kxcore::Log::levelName(level)) + " " + message);
    });
}

LogLines::~LogLines() {
    kxcore::Log::shared().setSystemSink({});
}

std::vector<std::string> LogLines::all() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> LogLines::matching(const std::string& part) const {
    std::vector<std::string> out;
    for (const auto& l : all())
        if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
}

// ---- PrivateBus ----

PrivateBus::PrivateBus() {
    daemon_.setProgram("/usr/bin/dbus-daemon");
    daemon_.setArguments({"--session", "--nofork", "--nopidfile", "--print-address=1"});
    daemon_.start();
    if (!daemon_.waitForStarted(5000)) return;
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    while (!out.contains('\n') && clock.elapsed() < 10000) {
        daemon_.waitForReadyRead(200);
        out += daemon_.readAllStandardOutput();
    }
    address_ = QString::fromUtf8(out).trimmed();
}

PrivateBus::~PrivateBus() {
    for (const auto& n : names_)
        QDBusConnection::disconnectFromBus(n);
    daemon_.terminate();
    daemon_.waitForFinished(3000);
}

QDBusConnection PrivateBus::connect(const QString& name) {
    names_ << name;
    return QDBusConnection::connectToBus(address_, name);
}

// ---- DBusMock ----

DBusMock::DBusMock(const QString& busAddress, bool system, const QStringList& arguments,
                   const QString& busName, QDBusConnection control)
    : busName_(busName)
    , control_(std::move(control)) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (system) {
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", busAddress);
    } else {
        env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    }
    process_.setProcessEnvironment(env);
    // The distribution's interpreter: python3-dbusmock lives there.
    process_.setProgram("/usr/bin/python3");
    QStringList args{"-m", "dbusmock", system ? "--system" : "--session"};
    args << arguments;
    process_.setArguments(args);
    process_.start();
    if (!process_.waitForStarted(5000)) return;
    ok_ = spinUntil(
        [this] {
            return control_.interface() && control_.interface()->isServiceRegistered(busName_).value();
        },
        20);
}

DBusMock::~DBusMock() {
    process_.terminate();
    process_.waitForFinished(3000);
}

QString DBusMock::errorOutput() {
    return QString::fromUtf8(process_.readAllStandardError());
}

QVariantList DBusMock::invoke(const QString& path, const QString& interface, const QString& method,
                              const QVariantList& args) {
    QDBusMessage m = QDBusMessage::createMethodCall(busName_, path, interface, method);
    m.setArguments(args);
    const QDBusMessage reply = control_.call(m, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ErrorMessage) qWarning() << "mock call failed:" << reply.errorMessage();
    return reply.arguments();
}

QVariantList DBusMock::call(const QString& path, const QString& method, const QVariantList& args) {
    return invoke(path, "org.freedesktop.DBus.Mock", method, args);
}

void DBusMock::emitSignal(const QString& path, const QString& interface, const QString& name,
                          const QString& signature, const QVariantList& args) {
    QVariantList wrapped;
    for (const auto& a : args)
        wrapped << QVariant::fromValue(QDBusVariant(a));
    call(path, "EmitSignal", {interface, name, signature, QVariant::fromValue(wrapped)});
}

void DBusMock::addMethod(const QString& path, const QString& interface, const QString& name,
                         const QString& in, const QString& out, const QString& code) {
    call(path, "AddMethod", {interface, name, in, out, code});
}

} // namespace modeltest
