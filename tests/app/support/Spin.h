#pragma once

// Waiting in widget tests: the event loop (posted events and deferred
// deletions included) runs until a condition holds.

#include <QElapsedTimer>
#include <QTest>

#include <functional>

namespace uitest {

// Runs the event loop until `condition` holds (true) or `seconds` pass (false).
inline bool spinUntil(const std::function<bool()>& condition, double seconds = 5) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > seconds * 1000) return false;
        QTest::qWait(5);
    }
    return true;
}

} // namespace uitest
