#include "app/window/detail/CardParts.h"

#include "kxui/KXStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QWidget>

namespace cardparts {

QLabel* title(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    KXStyle::setFont(l, KXStyle::Text::headline);
    return l;
}

QHBoxLayout* row(int spacing) {
    auto* r = new QHBoxLayout;
    r->setContentsMargins(0, 0, 0, 0);
    r->setSpacing(spacing);
    return r;
}

QWidget* rowWidget(QWidget* parent, QHBoxLayout* row) {
    auto* w = new QWidget(parent);
    w->setLayout(row);
    return w;
}

QLabel* note(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setWordWrap(true);
    KXStyle::setFont(l, KXStyle::Text::callout);
    KXStyle::setTone(l, KXStyle::Tone::secondary);
    return l;
}

} // namespace cardparts
