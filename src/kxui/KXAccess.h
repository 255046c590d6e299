#pragma once

#include <QString>

class QComboBox;
class QWidget;

// Helpers for assistive technologies and the keyboard: access letters
// ("&Open", "ファイル(&F)") and accessible names.
class KXAccess {
public:
    // The text without its access letter: "&&" becomes "&", a lone "&" goes,
    // and a letter given in parentheses after a text in another script
    // ("ファイル(&F)") goes with its parentheses.
    static QString plainText(const QString& text);
    // The access letter of a text (lower case), or a null character when it
    // has none.
    static QChar letter(const QString& text);
    // Gives `widget` the accessible name `text` without its access letter.
    static void name(QWidget* widget, const QString& text);
    // Names a combo box by what it chooses (`text`, its label's text). Qt
    // names a combo box on Linux by the value it shows and leaves the label
    // to a relation that not every reader follows; this one says both: the
    // name, and the value as its value. Call it before items are added.
    static void nameComboBox(QComboBox* combo, const QString& text);
};
