#include "app/sheets/SheetStyle.h"

#include "kxui/KXStyle.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace {

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

QLabel* SheetStyle::title(const QString& text, QWidget* parent) {
    auto* label = plainLabel(text, parent);
    KXStyle::setFont(label, KXStyle::Text::title);
    return label;
}

QLabel* SheetStyle::body(const QString& text, QWidget* parent) {
    auto* label = plainLabel(text, parent);
    KXStyle::setTone(label, KXStyle::Tone::secondary);
    return label;
}

QLabel* SheetStyle::calloutNote(const QString& text, QWidget* parent) {
    auto* label = body(text, parent);
    KXStyle::setFont(label, KXStyle::Text::callout);
    return label;
}

QLabel* SheetStyle::caption(const QString& text, QWidget* parent) {
    auto* label = body(text, parent);
    KXStyle::setFont(label, KXStyle::Text::caption);
    return label;
}

QLabel* SheetStyle::error(const QString& text, QWidget* parent) {
    auto* label = plainLabel(text, parent);
    KXStyle::setFont(label, KXStyle::Text::callout);
    KXStyle::setTone(label, KXStyle::Tone::red);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QHBoxLayout* SheetStyle::actionRow(QDialog* sheet, QPushButton* cancel, QWidget* spinner, QPushButton* action) {
    auto* row = new QHBoxLayout;
    cancel->setAutoDefault(false);
    QObject::connect(cancel, &QPushButton::clicked, sheet, &QDialog::reject);
    KXStyle::makeProminent(action);
    action->setDefault(true);
    spinner->hide();
    row->addWidget(cancel);
    row->addStretch(1);
    row->addWidget(spinner);
    row->addWidget(action);
    return row;
}
