#include "session/support/HeadlessSway.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

namespace sessiontest {

HeadlessSway::HeadlessSway() {
    QFile::setPermissions(runtime_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

HeadlessSway::~HeadlessSway() {
    stop();
}

bool HeadlessSway::start() {
    if (!runtime_.isValid()) {
        why_ = QStringLiteral("no runtime folder");
        return false;
    }
    const QString ready = runtime_.filePath(QStringLiteral("ready"));
    const QString config = runtime_.filePath(QStringLiteral("sway.conf"));
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly)) {
        why_ = QStringLiteral("cannot write the configuration");
        return false;
    }
    conf.write("xwayland disable\n"
               "output HEADLESS-1 resolution 1280x800\n"
               "exec sh -c 'printf \"%s\\n\" \"$WAYLAND_DISPLAY\" > \"$HC_SWAY_READY.tmp\" && "
               "mv \"$HC_SWAY_READY.tmp\" \"$HC_SWAY_READY\"'\n");
    conf.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    env.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    env.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    env.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    env.insert(QStringLiteral("HC_SWAY_READY"), ready);
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("DISPLAY"));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("/usr/bin/sway"), {QStringLiteral("-c"), config});
    if (!process_.waitForStarted(10'000)) {
        why_ = QStringLiteral("sway does not start: ") + process_.errorString();
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(ready)) {
        if (process_.state() == QProcess::NotRunning || timer.elapsed() > 20'000) {
            why_ = QStringLiteral("sway did not get ready: ") + QString::fromLocal8Bit(process_.readAll());
            stop();
            return false;
        }
        process_.waitForReadyRead(50);
    }
    QFile name(ready);
    if (!name.open(QIODevice::ReadOnly)) return false;
    display_ = QString::fromLocal8Bit(name.readAll()).trimmed();
    return !display_.isEmpty();
}

void HeadlessSway::stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5'000)) {
        process_.kill();
        process_.waitForFinished(2'000);
    }
}

} // namespace sessiontest
