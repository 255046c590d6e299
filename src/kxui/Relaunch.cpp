#include "kxui/Relaunch.h"

#include "kxcore/Log.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace Relaunch {

namespace {

std::function<bool()>& quitHandler() {
    static std::function<bool()> handler;
    return handler;
}

bool pending = false; // a restart was asked for and quitting is under way

std::function<QStringList(const QStringList&)>& argumentFilter() {
    static std::function<QStringList(const QStringList&)> filter;
    return filter;
}

} // namespace

void setQuitHandler(std::function<bool()> quit) {
    quitHandler() = std::move(quit);
}

void cancel() {
    pending = false;
}

bool startAfterExit(const Command& c) {
    // Everything the helper needs is made before fork: after it, only
    // async-signal-safe calls are allowed.
    const std::string program = QFile::encodeName(c.program).toStdString();
    std::vector<std::string> args{program};
    for (const QString& a : c.arguments)
        args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The write end stays open in this process only (close-on-exec keeps it
    // out of programs this process starts); the helper sees end-of-file when
    // this process has ended.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[1]);
        setsid();
        char byte;
        for (;;) {
            ssize_t n = read(fds[0], &byte, 1);
            if (n == 0) break;
            if (n < 0 && errno != EINTR) break;
        }
        close(fds[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);
    // fds[1] is closed by the exit of this process.
    return true;
}

void setArgumentFilter(std::function<QStringList(const QStringList&)> filter) {
    argumentFilter() = std::move(filter);
}

Command command() {
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    return {QCoreApplication::applicationFilePath(), argumentFilter() ? argumentFilter()(arguments) : arguments};
}

void now() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    static bool armed = false;
    if (!armed) {
        armed = true;
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, [] {
            if (!pending) return;
            pending = false;
            Command c = command();
            if (startAfterExit(c))
                kxcore::Log::shared().info("restarting");
            else
                kxcore::Log::shared().error("cannot start " + c.program.toStdString() + " again");
        });
    }
    pending = true;
    if (quitHandler()) {
        if (!quitHandler()()) pending = false;
    } else {
        QCoreApplication::quit();
    }
}

} // namespace Relaunch
