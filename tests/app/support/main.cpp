// Entry of the application's test programs: a QApplication on the offscreen
// platform, the application's texts registered, and a private session bus.
#include "kxstrings/KXStrings.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Without a session bus, runs this program again under dbus-run-session
// (GIO's metadata service is reached over the session bus). Returns only
// when that is not possible.
void ensureSessionBus(int argc, char** argv) {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") || std::getenv("HC_TEST_NO_SESSION_BUS")) return;
    const char* runner = "/usr/bin/dbus-run-session";
    if (::access(runner, X_OK) != 0) return;
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) return;
    std::vector<std::string> args{"dbus-run-session", "--", self};
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::vector<char*> cargs;
    for (auto& a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);
    ::setenv("HC_TEST_NO_SESSION_BUS", "1", 1); // never twice
    ::execv(runner, cargs.data());
}

} // namespace

int main(int argc, char** argv) {
    ensureSessionBus(argc, argv);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    KXStrings::setLanguage("en");
    KXStrings::registerProductBundle();
    return RUN_ALL_TESTS();
}
