#pragma once

class QHBoxLayout;
class QLabel;
class QString;
class QWidget;

// Pieces every card of a vault's pane is built from.
namespace cardparts {

// The field width the pane's pickers and password field keep to.
constexpr int fieldWidth = 320;

// The card's title line.
QLabel* title(const QString& text, QWidget* parent);
// A row laid out left to right with no margins.
QHBoxLayout* row(int spacing = 8);
// A widget holding `row`, to show or hide it whole.
QWidget* rowWidget(QWidget* parent, QHBoxLayout* row);
// A wrapping note in the secondary tone under a choice.
QLabel* note(const QString& text, QWidget* parent);

} // namespace cardparts
