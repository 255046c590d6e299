#include "kxui/InfoRow.h"

#include "kxui/KXStyle.h"

#include <QHBoxLayout>
#include <QLabel>

namespace kxui {

InfoRow::InfoRow(const QString& label, const QString& value, QWidget* parent)
    : QWidget(parent)
    , label_(new QLabel(label, this))
    , value_(new QLabel(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    KXStyle::setTone(label_, KXStyle::Tone::secondary);
    label_->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
    value_->setTextFormat(Qt::PlainText);
    value_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    value_->setCursor(Qt::IBeamCursor);
    value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // a value wider than the row is cut on the left edge of the view, never
    // widens the window; the whole text stays selectable and in the tooltip
    value_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    value_->setMinimumWidth(40);
    row->addWidget(label_);
    row->addStretch(1);
    row->addWidget(value_, 100);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setValue(value);
}

void InfoRow::setValue(const QString& value) {
    value_->setText(value);
    value_->setToolTip(value);
}

QString InfoRow::label() const {
    return label_->text();
}
QString InfoRow::value() const {
    return value_->text();
}

} // namespace kxui
