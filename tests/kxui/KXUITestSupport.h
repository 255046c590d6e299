#pragma once

// Shared set-up of the framework window tests: a QApplication (made before
// any socket or widget), a private settings file and data folder, and one
// framework context over them.

#include <QApplication>

#define HC_TEST_QT_APPLICATION
inline void ensureQtApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "kxui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}
#include "../kxcore/TestHttpServer.h"

#include "kxcore/Settings.h"
#include "kxcore/Telemetry.h"
#include "kxui/KXContext.h"
#include "kxui/KXOpen.h"

#include <QTemporaryDir>

#include <cstdlib>
#include <memory>
#include <vector>

// One context for the whole test program (the framework makes one per run):
// its folders and the settings file live in a temporary folder, and nothing
// is sent anywhere unless a test names a server in KX_SERVICE_BASE.
inline KXContext& testContext() {
    static QTemporaryDir* home = nullptr;
    static KXContext* ctx = nullptr;
    if (!ctx) {
        ensureQtApplication();
        home = new QTemporaryDir;
        setenv("XDG_CONFIG_HOME", (home->path() + "/config").toUtf8().constData(), 1);
        setenv("KX_SERVICE_BASE", "", 1);
        unsetenv("HC_RESOURCES_DIR");
        kxcore::ProductInfo product = KXContext::loadProduct();
        ctx = new KXContext(product, home->path() + "/data");
    }
    return *ctx;
}

// Records what the windows ask the desktop to open.
struct OpenedURLs {
    struct Entry {
        QUrl url;
        bool reveal;
    };
    std::shared_ptr<std::vector<Entry>> entries = std::make_shared<std::vector<Entry>>();
    OpenedURLs() {
        auto list = entries;
        KXOpen::setHandlerForTesting([list](const QUrl& url, bool reveal) {
            list->push_back({url, reveal});
        });
    }
    ~OpenedURLs() { KXOpen::setHandlerForTesting({}); }
    size_t size() const { return entries->size(); }
    const Entry& last() const { return entries->back(); }
};

// Removes every stored setting (each test starts from a fresh settings file).
inline void clearSettings() {
    kxcore::Settings s;
    for (const char* key :
         {kxcore::Settings::settingsTabKey, kxcore::Settings::autoUpdateKey, kxcore::Settings::telemetryKey,
          kxcore::Settings::feedbackEmailKey, kxcore::Settings::languagesKey})
        s.remove(QLatin1String(key));
}
