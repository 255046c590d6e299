#include "kxui/ProductIcon.h"

#include "kxui/KXStyle.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>

namespace kxui::ProductIcon {

QPixmap pixmap(const kxcore::ProductInfo& product, int size, qreal devicePixelRatio) {
    const QIcon windowIcon = QGuiApplication::windowIcon();
    if (!windowIcon.isNull() && !windowIcon.availableSizes().isEmpty())
        return windowIcon.pixmap(QSize(size, size), devicePixelRatio);

    QPixmap pm(QSize(size, size) * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QColor color = KXStyle::colorFromHex(product.iconColor);
    if (!color.isValid()) color = KXStyle::accent();

    const qreal s = size;
    QRectF tile(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
    QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
    fill.setColorAt(0, color.lighter(125));
    fill.setColorAt(1, color.darker(115));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(tile, s * 0.22, s * 0.22);

    // The padlock: a shackle and a body with a keyhole cut out.
    const QColor white(255, 255, 255);
    QPen shackle(white, s * 0.075, Qt::SolidLine, Qt::FlatCap);
    p.setPen(shackle);
    p.setBrush(Qt::NoBrush);
    QRectF arc(s * 0.35, s * 0.22, s * 0.30, s * 0.30);
    p.drawArc(arc, 0, 180 * 16);
    p.drawLine(QPointF(arc.left(), arc.center().y()), QPointF(arc.left(), s * 0.48));
    p.drawLine(QPointF(arc.right(), arc.center().y()), QPointF(arc.right(), s * 0.48));

    QPainterPath body;
    body.addRoundedRect(QRectF(s * 0.27, s * 0.44, s * 0.46, s * 0.36), s * 0.06, s * 0.06);
    QPainterPath hole;
    hole.addEllipse(QPointF(s * 0.5, s * 0.58), s * 0.045, s * 0.045);
    hole.addRect(QRectF(s * 0.485, s * 0.58, s * 0.03, s * 0.11));
    p.setPen(Qt::NoPen);
    p.setBrush(white);
    p.drawPath(body.subtracted(hole));
    return pm;
}

} // namespace kxui::ProductIcon
