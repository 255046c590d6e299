#pragma once

#include <QString>

class QDialog;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QWidget;

// The labels and the button row every sheet is built from, in the
// framework's text styles.
class SheetStyle {
public:
    SheetStyle() = delete;

    // Inset of a sheet's content.
    static constexpr int inset = 24;
    // Widest a text field gets in a sheet.
    static constexpr int fieldWidth = 320;

    // Bold, title size, wrapping.
    static QLabel* title(const QString& text, QWidget* parent = nullptr);
    // Secondary colour, wrapping.
    static QLabel* body(const QString& text, QWidget* parent = nullptr);
    // Secondary colour, callout size, wrapping.
    static QLabel* calloutNote(const QString& text, QWidget* parent = nullptr);
    // Secondary colour, caption size, wrapping.
    static QLabel* caption(const QString& text, QWidget* parent = nullptr);
    // Red, callout size, wrapping: an error or a mismatch under a field.
    static QLabel* error(const QString& text, QWidget* parent = nullptr);

    // The row at the foot of a sheet: Cancel on the left (rejects the sheet,
    // never the default), then the busy indicator (hidden until the sheet
    // works) and the sheet's action, prominent and the default button.
    static QHBoxLayout* actionRow(QDialog* sheet, QPushButton* cancel, QWidget* spinner, QPushButton* action);
};
