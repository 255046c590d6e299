#include "app/widgets/WrappingRow.h"

#include <QBoxLayout>
#include <QEvent>
#include <QResizeEvent>

#include <algorithm>

namespace {

int neededWidth(const QWidget* w) {
    return std::max({w->sizeHint().width(), w->minimumSizeHint().width(), w->minimumWidth()});
}

} // namespace

WrappingRow::WrappingRow(QWidget* parent, int spacing)
    : QWidget(parent)
    , box_(new QBoxLayout(QBoxLayout::LeftToRight, this)) {
    box_->setContentsMargins(0, 0, 0, 0);
    box_->setSpacing(spacing);
    // the row's own minimum width is that of its widest control (below),
    // not the sum the layout would impose while side by side
    box_->setSizeConstraint(QLayout::SetNoConstraint);
    box_->addStretch(1);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void WrappingRow::addWidget(QWidget* widget, int stretch) {
    // before the trailing stretch
    box_->insertWidget(static_cast<int>(items_.size()), widget, stacked_ ? 0 : stretch,
                       stacked_ ? Qt::AlignLeading : Qt::Alignment());
    items_.emplace_back(widget, stretch);
    arrange();
}

int WrappingRow::sideBySideWidth() const {
    int width = 0;
    int shown = 0;
    for (const auto& item : items_) {
        if (item.first->isHidden()) continue;
        width += neededWidth(item.first);
        ++shown;
    }
    return width + std::max(0, shown - 1) * box_->spacing();
}

QSize WrappingRow::minimumSizeHint() const {
    int width = 0;
    for (const auto& item : items_)
        if (!item.first->isHidden())
            width = std::max(width, std::max(item.first->minimumSizeHint().width(), item.first->minimumWidth()));
    return {width, box_->minimumSize().height()};
}

QSize WrappingRow::sizeHint() const {
    return {sideBySideWidth(), box_->sizeHint().height()};
}

void WrappingRow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange();
}

bool WrappingRow::event(QEvent* event) {
    // a control shown, hidden or retitled changes the width it needs
    if (event->type() == QEvent::LayoutRequest) arrange();
    return QWidget::event(event);
}

void WrappingRow::arrange() {
    const bool stack = width() > 0 && width() < sideBySideWidth();
    if (stack == stacked_) return;
    stacked_ = stack;
    box_->setDirection(stack ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    for (const auto& [widget, stretch] : items_) {
        box_->setStretchFactor(widget, stack ? 0 : stretch);
        box_->setAlignment(widget, stack ? Qt::AlignLeading : Qt::Alignment());
    }
    updateGeometry();
}
