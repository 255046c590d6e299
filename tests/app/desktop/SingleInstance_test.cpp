// One instance per support folder: a later start reaches the running one
// through its socket.
#include "app/desktop/SingleInstance.h"
#include "support/WindowFixture.h"

#include <QApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <vector>

namespace {

using uitest::spinUntil;
using uitest::WindowTest;

} // namespace

// ---- One instance ------------------------------------------------------------------------

TEST_F(WindowTest, ALaterStartReachesTheRunningInstanceAndAStaleSocketIsReplaced) {
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", dir_.path().toUtf8());
    const QString path = SingleInstance::socketPath(support_);
    EXPECT_TRUE(path.startsWith(dir_.path()));
    EXPECT_NE(path, SingleInstance::socketPath(support_ + QStringLiteral("-other")));
    {
        // a file left by an instance that ended
        QFile stale(path);
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    SingleInstance running(support_);
    ASSERT_TRUE(running.listen());
    std::vector<SingleInstance::Request> seen;
    QObject::connect(&running, &SingleInstance::requested,
                     [&](SingleInstance::Request r) { seen.push_back(r); });

    for (auto request : {SingleInstance::Request::raise, SingleInstance::Request::lockAll}) {
        auto answer =
            std::async(std::launch::async, [&] { return SingleInstance(support_).sendToRunning(request); });
        ASSERT_TRUE(spinUntil(
            [&] { return answer.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
        EXPECT_TRUE(answer.get());
    }
    QApplication::processEvents();
    EXPECT_EQ(seen, (std::vector{SingleInstance::Request::raise, SingleInstance::Request::lockAll}));
    // a second listener on the same folder is refused while the first runs
    SingleInstance second(support_);
    EXPECT_FALSE(second.listen());
    EXPECT_EQ(SingleInstance::parse("nonsense"), std::nullopt);
    // the folder the tests after it had
    if (runtimeDir.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", runtimeDir);
}
