#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace sessiontest {

// A Wayland compositor of the test's own: sway 1.7 with its headless back
// end, the pixman renderer, no input devices and no Xwayland, in a private
// runtime folder. Sway refuses to run as root; these tests run as an
// ordinary user (scripts/run-as-user).
class HeadlessSway {
public:
    HeadlessSway();
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    // Starts it and waits until it serves clients; false (with why()) when
    // it does not.
    bool start();
    void stop();
    bool running() const { return process_.state() != QProcess::NotRunning; }
    const QString& why() const { return why_; }

    // Its socket name (as WAYLAND_DISPLAY) and the runtime folder it lies in.
    const QString& display() const { return display_; }
    QString runtimeDir() const { return runtime_.path(); }

private:
    QTemporaryDir runtime_;
    QProcess process_;
    QString display_;
    QString why_;
};

} // namespace sessiontest
