#include "app/widgets/StrengthBar.h"

#include "app/widgets/PasswordStrength.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

StrengthBar::StrengthBar(QWidget* parent)
    : QWidget(parent)
    , bar_(new QProgressBar(this))
    , caption_(new QLabel(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    bar_->setRange(0, PasswordStrength::maximum);
    bar_->setTextVisible(false);
    bar_->setFixedWidth(200);
    bar_->setFixedHeight(8);
    bar_->setAccessibleName(kx("strength.title"));
    KXStyle::setTone(caption_, KXStyle::Tone::secondary);
    row->addWidget(bar_);
    row->addWidget(caption_);
    row->addStretch(1);
    setPassword(QString());
}

void StrengthBar::setPassword(const QString& password) {
    score_ = PasswordStrength::score(password);
    bar_->setValue(score_);
    // nothing typed yet: no verdict, not "Weak"
    caption_->setText(password.isEmpty() ? QString() : PasswordStrength::caption(score_));
    bar_->setAccessibleDescription(caption_->text());
    applyTint();
}

QString StrengthBar::caption() const {
    return caption_->text();
}

QColor StrengthBar::tint() const {
    return bar_->palette().color(QPalette::Highlight);
}

void StrengthBar::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) applyTint();
}

void StrengthBar::applyTint() {
    QPalette p = bar_->palette();
    p.setColor(QPalette::Highlight, KXStyle::tone(PasswordStrength::tone(score_), palette()));
    bar_->setPalette(p);
}
