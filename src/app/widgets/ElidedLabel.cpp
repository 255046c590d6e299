#include "app/widgets/ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QResizeEvent>

ElidedLabel::ElidedLabel(QWidget* parent, Qt::TextElideMode mode)
    : QLabel(parent)
    , mode_(mode) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    // the layout gives what there is; the text adapts to it
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == full_ && !text.isEmpty()) return;
    full_ = text;
    setToolTip(text);
    elide();
    updateGeometry();
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("xxxx…")), QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const {
    const QMargins m = contentsMargins();
    return {fontMetrics().horizontalAdvance(full_) + m.left() + m.right() + 4, QLabel::sizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) elide();
}

void ElidedLabel::elide() {
    const int width = contentsRect().width();
    const QString shown = width > 0 ? fontMetrics().elidedText(full_, mode_, width) : full_;
    if (shown != text()) setText(shown);
}
