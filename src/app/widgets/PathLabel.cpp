#include "app/widgets/PathLabel.h"

#include <QDir>
#include <QFontMetrics>
#include <QResizeEvent>

PathLabel::PathLabel(QWidget* parent)
    : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QString PathLabel::abbreviate(const QString& path, const QString& home) {
    QString h = home;
    while (h.size() > 1 && h.endsWith(QLatin1Char('/')))
        h.chop(1);
    if (h.isEmpty() || h == QLatin1String("/")) return path;
    if (path == h) return QStringLiteral("~");
    if (path.startsWith(h + QLatin1Char('/'))) return QStringLiteral("~") + path.mid(h.size());
    return path;
}

QString PathLabel::abbreviate(const QString& path) {
    return abbreviate(path, QDir::homePath());
}

void PathLabel::setPath(const QString& path) {
    path_ = path;
    setToolTip(path);
    elide();
    updateGeometry();
}

QSize PathLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("~/…/xxxxxxxx")),
            QLabel::minimumSizeHint().height()};
}

QSize PathLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(fullText()) + 4, QLabel::sizeHint().height()};
}

void PathLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void PathLabel::elide() {
    const QString full = fullText();
    const int width = contentsRect().width();
    const QString shown = width > 0 ? fontMetrics().elidedText(full, Qt::ElideMiddle, width) : full;
    if (shown != text()) setText(shown);
}
