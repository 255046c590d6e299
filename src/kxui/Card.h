#pragma once

#include <QFormLayout>
#include <QFrame>

class QVBoxLayout;

namespace kxui {

// A group of controls on a rounded panel: the content is inset by 14 px on
// every side, the card takes the full width it is given with its content
// aligned to the leading edge, and it is drawn as a rectangle with corner
// radius 10 in the control background colour outlined by a thin line in the
// separator colour.
class Card : public QFrame {
    Q_OBJECT
public:
    static constexpr int inset = 14;
    static constexpr qreal cornerRadius = 10.0;

    explicit Card(QWidget* parent = nullptr);

    // Where the card's content goes (top to bottom, leading-aligned).
    QVBoxLayout* content() const { return content_; }
    // Adds a widget, or a row of widgets laid out left to right.
    void add(QWidget* widget);

    // Lays out a settings tab: one card across the top of `page`, holding
    // a form whose labels are right-aligned; returns the form.
    static QFormLayout* formPage(QWidget* page, QFormLayout::FieldGrowthPolicy growth);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* content_;
};

} // namespace kxui
