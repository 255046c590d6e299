#include "app/window/EmptyState.h"

#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

EmptyState::EmptyState(std::function<void()> onCreate, QWidget* parent)
    : QWidget(parent)
    , onCreate_(std::move(onCreate))
    , symbol_(new QLabel(this))
    , title_(new QLabel(kx("empty.title"), this))
    , body_(new QLabel(kx("empty.body"), this))
    , button_(new QPushButton(kx("action.newLong"), this)) {
    setObjectName(QStringLiteral("emptyState"));
    // The texts sit in a column of a fixed width, centred by stretches on
    // both sides. Inside it they take the whole width (no alignment of their
    // own), so the layout asks each wrapping label how tall it is at that
    // width: a label given an alignment would be sized by its one-line hint
    // and its further lines cut off.
    auto* column = new QWidget(this);
    column->setFixedWidth(bodyWidth);
    auto* texts = new QVBoxLayout(column);
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(14);

    symbol_->setAlignment(Qt::AlignCenter);
    paintSymbol();
    texts->addWidget(symbol_);

    KXStyle::setFont(title_, KXStyle::Text::title);
    title_->setAlignment(Qt::AlignCenter);
    title_->setWordWrap(true);
    texts->addWidget(title_);

    body_->setAlignment(Qt::AlignCenter);
    body_->setWordWrap(true);
    KXStyle::setTone(body_, KXStyle::Tone::secondary);
    texts->addWidget(body_);

    texts->addSpacing(6);
    KXStyle::makeProminent(button_);
    QFont large = button_->font();
    large.setPointSizeF(large.pointSizeF() * 1.15);
    button_->setFont(large);
    button_->setMinimumHeight(button_->sizeHint().height() + 8);
    button_->setMinimumWidth(std::min(bodyWidth, button_->sizeHint().width() + 32));
    connect(button_, &QPushButton::clicked, this, [this] {
        if (onCreate_) onCreate_();
    });
    texts->addWidget(button_, 0, Qt::AlignHCenter);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(column);
    row->addStretch(1);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(32, 32, 32, 32);
    page->addStretch(1);
    page->addLayout(row);
    page->addStretch(1);
}

void EmptyState::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) paintSymbol();
    QWidget::changeEvent(event);
}

void EmptyState::paintSymbol() {
    symbol_->setPixmap(KXSymbol::pixmap(QStringLiteral("lock.rectangle.stack.fill"), 72,
                                        palette().color(QPalette::Highlight), devicePixelRatioF()));
}
