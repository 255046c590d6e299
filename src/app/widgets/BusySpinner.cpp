#include "app/widgets/BusySpinner.h"

#include "kxui/KXStyle.h"

#include <QPainter>

BusySpinner::BusySpinner(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(16, 16);
    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void BusySpinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
    QColor track = KXStyle::secondary(palette());
    track.setAlphaF(0.25);
    p.setPen(QPen(track, 2));
    p.drawEllipse(box);
    p.setPen(QPen(KXStyle::secondary(palette()), 2, Qt::SolidLine, Qt::RoundCap));
    // Qt angles are in 1/16 degree, counter-clockwise; the arc turns clockwise
    p.drawArc(box, (90 - angle_) * 16, -100 * 16);
}

void BusySpinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_.start();
}

void BusySpinner::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}
