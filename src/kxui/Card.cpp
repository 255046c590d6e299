#include "kxui/Card.h"

#include "kxui/KXStyle.h"

#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace kxui {

Card::Card(QWidget* parent)
    : QFrame(parent)
    , content_(new QVBoxLayout(this)) {
    content_->setContentsMargins(inset, inset, inset, inset);
    content_->setSpacing(10);
    content_->setAlignment(Qt::AlignTop | Qt::AlignLeading);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    setFrameShape(QFrame::NoFrame);
}

void Card::add(QWidget* widget) {
    content_->addWidget(widget, 0, Qt::AlignLeading);
}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // half a pixel in so the outline sits on whole pixels
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(r, cornerRadius, cornerRadius);
    p.fillPath(path, KXStyle::controlBackground(palette()));
    QPen pen(KXStyle::separator(palette()));
    pen.setWidthF(1.0);
    p.setPen(pen);
    p.drawPath(path);
}

QFormLayout* Card::formPage(QWidget* page, QFormLayout::FieldGrowthPolicy growth) {
    auto* outer = new QVBoxLayout(page);
    outer->setContentsMargins(20, 18, 20, 18);
    auto* card = new Card(page);
    card->content()->setAlignment(Qt::AlignTop); // full width: texts wrap at the card's edge
    outer->addWidget(card);
    outer->addStretch(1);
    auto* body = new QWidget(card);
    card->content()->addWidget(body);
    auto* form = new QFormLayout(body);
    form->setContentsMargins(0, 0, 0, 0);
    form->setVerticalSpacing(12);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(growth);
    return form;
}

} // namespace kxui
