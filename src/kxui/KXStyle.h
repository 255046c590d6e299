#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

class QAbstractButton;
class QLabel;
class QPushButton;
class QWidget;

// The framework's look on top of the desktop's style: semantic colours that
// follow light and dark palettes, text sizes, and the button kinds the
// windows use (prominent, link, destructive). Everything is derived from the
// widget's palette, and re-derived when the application palette changes, so
// a switch between light and dark follows at once.
class KXStyle {
public:
    enum class Text { largeTitle, title, headline, body, callout, caption };
    enum class Tone { primary, secondary, green, red, orange, accent };

    // Whether a palette is a dark one (its window colour is dark).
    static bool isDark(const QPalette& palette);

    static QColor green(const QPalette& palette);
    static QColor red(const QPalette& palette);
    static QColor orange(const QPalette& palette);
    // Text of lesser importance: the text colour faded towards the window.
    static QColor secondary(const QPalette& palette);
    // Thin lines between and around groups.
    static QColor separator(const QPalette& palette);
    // The background of cards and fields.
    static QColor controlBackground(const QPalette& palette);
    static QColor tone(Tone tone, const QPalette& palette);

    // The application's accent: set once at start from the product's colour;
    // it becomes the palette's highlight (selection, prominent buttons, links).
    static void setAccent(const QColor& accent);
    static QColor accent();
    // A colour from hexadecimal text ("#3478F6", "3478F6", "#RGB"); an
    // invalid text gives an invalid colour.
    static QColor colorFromHex(const QString& hex);

    static QFont font(Text text, const QFont& base);
    static void setFont(QWidget* widget, Text text);

    // Colours a label's text (and keeps it coloured across palette changes).
    static void setTone(QLabel* label, Tone tone);
    // The main button of a group: filled with the accent colour.
    static void makeProminent(QPushButton* button);
    // A button that looks like a link: flat, accent-coloured text, with a
    // focus ring while it has the keyboard focus.
    static void makeLink(QPushButton* button);
    // A button whose action removes something: red text.
    static void makeDestructive(QPushButton* button);

    // The palettes used by the screenshot mode (with the Fusion style), both
    // carrying the accent.
    static QPalette lightPalette();
    static QPalette darkPalette();
    // The desktop's palette with the accent as highlight.
    static QPalette withAccent(QPalette palette);
    // Applies "light" or "dark" to the whole application: Fusion style and
    // the matching palette. Returns false for any other name.
    static bool applyAppearance(const QString& name);
};
