#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

// The screenshot mode: draws chosen windows of the running application into
// PNG files, then ends the program with status 0, so every window can be
// looked at without a display (QT_QPA_PLATFORM=offscreen).
//
//   KX_SNAPSHOT_WINDOW      comma-separated window or sheet names
//                           ("main,settings,about,create,recover,...")
//   KX_SNAPSHOT_APPEARANCE  "light" or "dark": Fusion style with that palette
//                           (otherwise the desktop's look)
//   KX_SNAPSHOT_DELAY       seconds to wait before drawing (default 0)
//   KX_SNAPSHOT_OUT         folder for the files, made when missing (default:
//                           the current folder); one file "<name>.png" each
//
// The application registers one opener per name; an opener shows its window
// (or opens its sheet) and returns the widget to draw. A name nobody
// registered, an opener that returns nothing, or a file that cannot be
// written is reported on standard error and makes the exit status 1.
class KXSnapshot {
public:
    using Opener = std::function<QWidget*()>;

    struct Request {
        QStringList windows;
        std::optional<QString> appearance;
        double delaySeconds = 0;
        QString outDir;
    };

    // The request in the environment, or none when KX_SNAPSHOT_WINDOW is
    // unset or empty.
    static std::optional<Request> requested();

    // Call before any window is built: applies KX_SNAPSHOT_APPEARANCE.
    static void prepare();

    static void registerWindow(const QString& name, Opener opener);
    static QStringList registeredNames();

    // Runs the request, if any, once the event loop runs: waits the delay,
    // draws each window and exits the application. Returns whether a request
    // was scheduled.
    static bool runIfRequested();

    // Draws one widget (and its children) into a PNG; returns false when the
    // file cannot be written.
    static bool drawTo(QWidget* widget, const QString& file);
};
