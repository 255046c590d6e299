#include "kxui/KXSnapshot.h"

#include "kxui/KXStyle.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLayout>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <map>

namespace {

std::map<QString, KXSnapshot::Opener>& openers() {
    static std::map<QString, KXSnapshot::Opener> map;
    return map;
}

// Lets queued layout and paint work settle so a window is drawn as shown.
void settle() {
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

int runRequest(const KXSnapshot::Request& request) {
    int status = 0;
    if (!QDir().mkpath(request.outDir)) {
        std::fprintf(stderr, "snapshot: cannot make folder %s\n", qPrintable(request.outDir));
        return 1;
    }
    for (const QString& name : request.windows) {
        auto it = openers().find(name);
        if (it == openers().end()) {
            std::fprintf(stderr, "snapshot: no window named \"%s\" (known: %s)\n", qPrintable(name),
                         qPrintable(KXSnapshot::registeredNames().join(QStringLiteral(", "))));
            status = 1;
            continue;
        }
        QWidget* widget = it->second();
        if (!widget) {
            std::fprintf(stderr, "snapshot: window \"%s\" could not be opened\n", qPrintable(name));
            status = 1;
            continue;
        }
        settle();
        const QString file = QDir(request.outDir).filePath(name + QStringLiteral(".png"));
        if (!KXSnapshot::drawTo(widget, file)) {
            std::fprintf(stderr, "snapshot: cannot write %s\n", qPrintable(file));
            status = 1;
        }
    }
    return status;
}

} // namespace

std::optional<KXSnapshot::Request> KXSnapshot::requested() {
    const QString list = qEnvironmentVariable("KX_SNAPSHOT_WINDOW").trimmed();
    if (list.isEmpty()) return std::nullopt;
    Request r;
    for (const QString& part : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = part.trimmed();
        if (!name.isEmpty()) r.windows << name;
    }
    if (r.windows.isEmpty()) return std::nullopt;
    const QString appearance = qEnvironmentVariable("KX_SNAPSHOT_APPEARANCE").trimmed().toLower();
    if (!appearance.isEmpty()) r.appearance = appearance;
    bool ok = false;
    const double delay = qEnvironmentVariable("KX_SNAPSHOT_DELAY").trimmed().toDouble(&ok);
    r.delaySeconds = ok && delay > 0 && delay < 3600 ? delay : 0;
    r.outDir = qEnvironmentVariable("KX_SNAPSHOT_OUT");
    if (r.outDir.isEmpty()) r.outDir = QDir::currentPath();
    return r;
}

void KXSnapshot::prepare() {
    const auto r = requested();
    if (!r || !r->appearance) return;
    if (!KXStyle::applyAppearance(*r->appearance))
        std::fprintf(stderr, "snapshot: unknown appearance \"%s\" (light or dark); using the desktop's\n",
                     qPrintable(*r->appearance));
}

void KXSnapshot::registerWindow(const QString& name, Opener opener) {
    openers()[name] = std::move(opener);
}

QStringList KXSnapshot::registeredNames() {
    QStringList names;
    for (const auto& [name, opener] : openers())
        names << name;
    return names;
}

bool KXSnapshot::runIfRequested() {
    const auto r = requested();
    if (!r) return false;
    const int delayMs = static_cast<int>(r->delaySeconds * 1000);
    QTimer::singleShot(delayMs, qApp, [request = *r] {
        const int status = runRequest(request);
        std::fflush(stdout);
        QApplication::exit(status);
    });
    return true;
}

bool KXSnapshot::drawTo(QWidget* widget, const QString& file) {
    if (!widget->isVisible()) widget->show();
    widget->ensurePolished();
    if (widget->layout()) widget->layout()->activate();
    const QPixmap picture = widget->grab();
    if (picture.isNull()) return false;
    return picture.save(file, "PNG");
}
