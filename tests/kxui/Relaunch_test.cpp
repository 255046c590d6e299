#include "kxui/Relaunch.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// The new instance must not start while the old one still runs (it would
// find the old one's one-instance socket and hand itself over to it).
TEST(Relaunch, TheNewInstanceStartsOnlyAfterTheOldProcessEnded) {
    QTemporaryDir dir;
    const QString marker = dir.path() + "/started";
    pid_t old = fork();
    ASSERT_GE(old, 0);
    if (old == 0) {
        bool ok = Relaunch::startAfterExit({QStringLiteral("/usr/bin/touch"), {marker}});
        usleep(600'000); // the old instance still quitting
        _exit(ok ? 0 : 3);
    }
    usleep(300'000);
    EXPECT_FALSE(QFile::exists(marker)) << "started while the old process still ran";
    int status = 0;
    ASSERT_EQ(waitpid(old, &status, 0), old);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QDeadlineTimer deadline(5000);
    while (!QFile::exists(marker) && !deadline.hasExpired())
        QThread::msleep(20);
    EXPECT_TRUE(QFile::exists(marker)) << "the new instance never started";
}

} // namespace
