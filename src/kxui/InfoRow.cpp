#include "kxui/InfoRow.h"

#include "kxui/KXStyle.h"

#include <QEvent>
#include <QFontMetrics>
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
    // a value wider than the row never widens the window: it is shortened
    // to the room there is, the whole text in the tooltip
    value_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    value_->setMinimumWidth(40);
    value_->installEventFilter(this);
    row->addWidget(label_);
    row->addStretch(1);
    row->addWidget(value_, 100);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setValue(value);
}

void InfoRow::setValue(const QString& value) {
    full_ = value;
    value_->setToolTip(value);
    elide();
}

bool InfoRow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == value_ && (event->type() == QEvent::Resize || event->type() == QEvent::FontChange))
        elide();
    return QWidget::eventFilter(watched, event);
}

void InfoRow::elide() {
    const int width = value_->contentsRect().width();
    const QString shown =
        width > 0 ? value_->fontMetrics().elidedText(full_, Qt::ElideMiddle, width) : full_;
    if (shown != value_->text()) value_->setText(shown);
}

QString InfoRow::label() const {
    return label_->text();
}
QString InfoRow::value() const {
    return full_;
}

} // namespace kxui
