// hushcoffer: the desktop application.
//
//   hushcoffer             start, or bring the running window to the front
//   hushcoffer --lock-all  lock every vault (through the running instance
//                          when there is one)
//   hushcoffer --tray      start with the tray menu only, no window (the
//                          start at login)
#include "app/desktop/SingleInstance.h"
#include "app/model/AppModel.h"
#include "app/sheets/SheetPresenter.h"
#include "app/shell/HushcofferApp.h"
#include "app/shell/TrayMenuContent.h"
#include "app/shell/SelfTest.h"
#include "kxcore/AppPaths.h"
#include "kxcore/Settings.h"
#include "kxui/CheckForUpdates.h"
#include "kxui/KXContext.h"
#include "kxui/KXSnapshot.h"
#include "kxui/KXStyle.h"
#include "vaultkit/record/SupportFolder.h"
#include "vaultkit/vault/Vault.h"

#include <QApplication>
#include <QDBusConnection>
#include <QIcon>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

namespace {

void usage(FILE* out) {
    std::fputs("usage: hushcoffer [--lock-all | --tray]\n"
               "  --lock-all  lock every unlocked vault (volumes in use stay unlocked)\n"
               "  --tray      start in the tray, without opening the window\n",
               out);
}

// --lock-all with no running instance: the vaults are locked here, without
// a window. Returns the exit status: 0 when every vault ended locked.
int lockAllHere(KXContext& context) {
    AppModel model(HushcofferApp::supportDirectory(context.paths().supportDir()), EventSources{});
    int status = 0;
    // With nothing unlocked the pass ends before the event loop runs, and
    // an exit asked for then would be lost: the loop is entered only while
    // locks are still under way.
    bool finished = false;
    TrayMenuContent::lockAll(&model, [&] {
        for (const auto& vault : model.vaults()) {
            if (model.isUnlocked(vault)) {
                std::fprintf(stderr, "hushcoffer: \"%s\" is still unlocked\n", vault->config().name.c_str());
                status = 1;
            }
        }
        if (model.message() && model.message()->isError)
            std::fprintf(stderr, "hushcoffer: %s\n", qPrintable(model.message()->text));
        finished = true;
        QApplication::exit(status);
    });
    if (!finished) QApplication::exec();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // The TPM library prints its own diagnostics on standard error (a refused
    // key, a missing device); what matters reaches the user as our errors.
    // Set before any thread starts; TSS2_LOG from the environment still wins.
    ::setenv("TSS2_LOG", "all+none", 0);
    bool lockAll = false;
    bool startInTray = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lock-all") == 0) {
            lockAll = true;
        } else if (std::strcmp(argv[i], "--tray") == 0) {
            startInTray = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            // Qt's own options (-platform, -style, ...) start with one dash
            std::fprintf(stderr, "hushcoffer: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("hushcoffer"));
    QApplication::setDesktopFileName(QString::fromLatin1(vaultkit::SupportFolder::appID));
    QApplication::setQuitOnLastWindowClosed(false);

    const kxcore::ProductInfo product = KXContext::loadProduct();
    QApplication::setApplicationDisplayName(product.displayName);
    QApplication::setApplicationVersion(product.version);

    // One instance per user and support folder; the automatic modes (screen
    // shots, self-test) run on their own.
    const bool automatic =
        KXSnapshot::requested().has_value() || qEnvironmentVariableIsSet(SelfTest::environmentVariable);
    const QString supportDir =
        HushcofferApp::supportDirectory(kxcore::AppPaths(product.bundleID, product.displayName).supportDir());
    if (!automatic || lockAll) {
        SingleInstance probe(supportDir);
        if (probe.sendToRunning(lockAll ? SingleInstance::Request::lockAll : SingleInstance::Request::raise))
            return 0;
    }

    // The session and system buses are connected on a thread of their own
    // while the rest starts: a first use of a bus waits for its connection
    // (a round trip to the bus daemon, and on a busy desktop at login a wait
    // for the thread that makes it), and the desktop sources, the first to
    // use them, come only after the settings, the style and the records are
    // read. Waited for before those sources are made (and by the future's
    // end on every return before). Started only once this process is the
    // one to run: the product description read and no running instance
    // found.
    auto busesConnected = std::async(std::launch::async, [] {
        QDBusConnection::sessionBus();
        QDBusConnection::systemBus();
    });

    KXContext context(product);
    if (lockAll) return lockAllHere(context);

    KXStyle::setAccent(context.accentColor());
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    const auto snapshot = KXSnapshot::requested();
    if (snapshot && snapshot->appearance)
        KXSnapshot::prepare();
    else
        QApplication::setPalette(KXStyle::withAccent(QApplication::palette()));

    SheetPresenter::installStandard();
    busesConnected.wait();
    HushcofferApp::Options options;
    options.singleInstance = !automatic;
    options.unlockAtLogin = !automatic;
    HushcofferApp hushcoffer(&context, options);
    // In the tray only when there is a tray to show the menu in.
    if (!startInTray || automatic || !QSystemTrayIcon::isSystemTrayAvailable()) hushcoffer.show();
    KXSnapshot::runIfRequested();
    // The check at start is silent: it speaks only when there is a newer
    // version, and only when the user left automatic checks on.
    if (!automatic) kxui::checkForUpdatesAtStart(context.product(), kxcore::Settings());
    return QApplication::exec();
}
