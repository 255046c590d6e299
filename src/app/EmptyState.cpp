#include "app/EmptyState.h"

#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

EmptyState::EmptyState(std::function<void()> onCreate, QWidget* parent)
    : QWidget(parent)
    , onCreate_(std::move(onCreate))
    , symbol_(new QLabel(this))
    , title_(new QLabel(kx("empty.title"), this))
    , body_(new QLabel(kx("empty.body"), this))
    , button_(new QPushButton(kx("action.newLong"), this)) {
    setObjectName(QStringLiteral("emptyState"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(14);
    column->addStretch(1);

    symbol_->setAlignment(Qt::AlignCenter);
    paintSymbol();
    column->addWidget(symbol_, 0, Qt::AlignHCenter);

    KXStyle::setFont(title_, KXStyle::Text::title);
    title_->setAlignment(Qt::AlignCenter);
    title_->setWordWrap(true);
    column->addWidget(title_, 0, Qt::AlignHCenter);

    body_->setAlignment(Qt::AlignCenter);
    body_->setWordWrap(true);
    // a fixed width: a wrapping label centred by the layout would be given
    // its one-line width and cut off below
    body_->setFixedWidth(bodyWidth);
    KXStyle::setTone(body_, KXStyle::Tone::secondary);
    column->addWidget(body_, 0, Qt::AlignHCenter);

    column->addSpacing(6);
    KXStyle::makeProminent(button_);
    QFont large = button_->font();
    large.setPointSizeF(large.pointSizeF() * 1.15);
    button_->setFont(large);
    button_->setMinimumHeight(button_->sizeHint().height() + 8);
    button_->setMinimumWidth(button_->sizeHint().width() + 32);
    connect(button_, &QPushButton::clicked, this, [this] {
        if (onCreate_) onCreate_();
    });
    column->addWidget(button_, 0, Qt::AlignHCenter);
    column->addStretch(1);
}

void EmptyState::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) paintSymbol();
    QWidget::changeEvent(event);
}

void EmptyState::paintSymbol() {
    symbol_->setPixmap(KXSymbol::pixmap(QStringLiteral("lock.rectangle.stack.fill"), 72,
                                        palette().color(QPalette::Highlight), devicePixelRatioF()));
}
