#include "app/sheets/create/StepsView.h"

#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace {

QString symbolFor(StepsView::Mark mark) {
    switch (mark) {
    case StepsView::Mark::done:
        return QStringLiteral("checkmark.circle.fill");
    case StepsView::Mark::current:
        return QStringLiteral("circle.inset.filled");
    case StepsView::Mark::todo:
        return QStringLiteral("circle");
    }
    return {};
}

} // namespace

StepsView::StepsView(QStringList steps, int current, QWidget* parent)
    : QWidget(parent)
    , steps_(std::move(steps))
    , current_(current) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(24); // room for the "›" painted between the steps
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    for (const QString& step : steps_) {
        auto* item = new QHBoxLayout;
        item->setSpacing(6);
        auto* symbol = new QLabel(this);
        symbol->setFixedSize(18, 18);
        auto* title = new QLabel(step, this);
        title->setTextFormat(Qt::PlainText);
        item->addWidget(symbol);
        item->addWidget(title);
        row->addLayout(item);
        symbols_.append(symbol);
        titles_.append(title);
    }
    row->addStretch(1);
    refresh();
}

void StepsView::setCurrent(int current) {
    if (current == current_) return;
    current_ = current;
    refresh();
}

StepsView::Mark StepsView::mark(int i) const {
    if (i < current_) return Mark::done;
    if (i == current_) return Mark::current;
    return Mark::todo;
}

QLabel* StepsView::titleLabel(int i) const {
    return titles_.value(i);
}

QColor StepsView::symbolColour(int i) const {
    return i <= current_ ? palette().color(QPalette::WindowText) : KXStyle::secondary(palette());
}

void StepsView::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    // painted, not labels: a reader hears the steps, not the arrows
    QPainter painter(this);
    painter.setPen(KXStyle::secondary(palette()));
    for (int i = 0; i + 1 < titles_.size(); ++i) {
        const int left = titles_[i]->geometry().right();
        const int right = symbols_[i + 1]->geometry().left();
        const QRect gap(left, titles_[i]->geometry().top(), right - left, titles_[i]->height());
        painter.drawText(gap, Qt::AlignCenter, QStringLiteral("\u203A"));
    }
}

void StepsView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) refresh();
}

void StepsView::refresh() {
    if (current_ >= 0 && current_ < steps_.size())
        setAccessibleName(
            kx("create.stepOf", current_ + 1, static_cast<int>(steps_.size()), steps_[current_]));
    const QColor secondary = KXStyle::secondary(palette());
    for (int i = 0; i < titles_.size(); ++i) {
        const qreal dpr = devicePixelRatioF();
        symbols_[i]->setPixmap(KXSymbol::pixmap(symbolFor(mark(i)), 18, symbolColour(i), dpr));
        QFont font = titles_[i]->font();
        font.setWeight(i == current_ ? QFont::DemiBold : QFont::Normal);
        titles_[i]->setFont(font);
        QPalette p = titles_[i]->palette();
        p.setColor(QPalette::WindowText, i > current_ ? secondary : palette().color(QPalette::WindowText));
        titles_[i]->setPalette(p);
    }
}
