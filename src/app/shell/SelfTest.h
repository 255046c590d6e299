#pragma once

#include "app/model/AppModel.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>

// The self-test for automated checks of a built application, switched on by
// HC_SELFTEST_PASSWORD: the selected vault is unlocked with that password and
// locked again, and the process ends with
//   selftest unlock=<true|false>
//   selftest locked=<true|false> items=[<names of the visible folder>]
// on standard output and exit status 0 only when the unlock worked and the
// vault ended locked. The lock is tried even after a failed unlock. Without a
// selected vault nothing is printed and the application keeps running.
class SelfTest {
public:
    SelfTest() = delete;

    static constexpr const char* environmentVariable = "HC_SELFTEST_PASSWORD";

    // Starts the test when the variable is set; returns whether it started.
    // `exit` ends the process with a status (default: leaves the event loop
    // with it; the quit handling is not run).
    static bool startIfRequested(AppModel* model, std::function<void(int status)> exit = {},
                                 FILE* out = stdout);
    static void start(AppModel* model, const QString& password, std::function<void(int status)> exit,
                      FILE* out = stdout);

    // The names in a folder in the order the file system gives them; an
    // error gives an empty list.
    static QStringList listing(const QString& folder);
    // ["a", "b"]: each name quoted, with backslash, quote and control
    // characters escaped; [] when empty.
    static QString bracketed(const QStringList& names);
};
