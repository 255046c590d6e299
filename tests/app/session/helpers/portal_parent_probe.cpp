// A test helper: shows a window and opens the import dialog through the
// desktop portal (FilePanels::chooseImport), the way the application does.
// The test that starts it plays the portal on the session bus and the
// compositor's other client. Prints "platform NAME" once the window is
// shown and "answered N" when the portal has answered, then keeps the window
// until its standard input ends.
#include "app/desktop/FilePanels.h"
#include "kxstrings/KXStrings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    KXStrings::setLanguage("en");
    KXStrings::registerProductBundle();
    QWidget window;
    window.resize(480, 320);
    window.show();
    QElapsedTimer timer;
    timer.start();
    while (!(window.windowHandle() && window.windowHandle()->isExposed()) && timer.elapsed() < 20'000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    std::fflush(stdout);
    FilePanels::chooseImport(&window, FilePanels::ImportKind::files, [](QList<QUrl> urls) {
        std::printf("answered %d\n", int(urls.size()));
        std::fflush(stdout);
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) app.quit();
    });
    return app.exec();
}
