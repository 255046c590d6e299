// The baseline of the start-up benchmark: the least a Qt widgets program
// does to show a window and draw it into a PNG file, the way the screenshot
// mode does (a main window at 920 x 660 with a menu bar and a label, drawn
// once the event loop runs, then exit).
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPixmap>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("File"));
    window.setCentralWidget(new QLabel(QStringLiteral("Hello"), &window));
    window.resize(920, 660);
    window.show();
    QTimer::singleShot(0, &app, [&] {
        const QString out = qEnvironmentVariable("KX_SNAPSHOT_OUT", QDir::currentPath());
        QDir().mkpath(out);
        const bool ok = window.grab().save(out + QStringLiteral("/main.png"), "PNG");
        QApplication::exit(ok ? 0 : 1);
    });
    return QApplication::exec();
}
