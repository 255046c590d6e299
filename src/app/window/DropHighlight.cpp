#include "app/window/DropHighlight.h"

#include "kxui/KXStyle.h"

#include <QPainter>
#include <QPainterPath>

DropHighlight::DropHighlight(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("dropHighlight"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    hide();
}

void DropHighlight::showOver(const QRect& area) {
    setGeometry(area);
    raise();
    show();
}

void DropHighlight::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent = KXStyle::accent();
    QColor fill = accent;
    fill.setAlphaF(0.12);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 8, 8);
    painter.fillPath(frame, fill);
    painter.setPen(QPen(accent, 2));
    painter.drawPath(frame);
}
