#pragma once

// Checks that the texts a window shows can be read whole: every character
// has a glyph (from the widget's font or a fallback) and every label and
// button has the room its text needs. Used by the tests that build windows
// in every language.

#include <QAbstractButton>
#include <QFont>
#include <QGlyphRun>
#include <QLabel>
#include <QTextLayout>
#include <QToolButton>
#include <QWidget>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace textfit {

// Whether some character of `text` has no glyph in the font or any fallback
// (it would show as an empty box).
inline bool lacksGlyphs(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    while (layout.createLine().isValid()) {
    }
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns())
        for (quint32 glyph : run.glyphIndexes())
            if (glyph == 0) return true;
    return false;
}

// The text as a label with a buddy draws it: "&&" as "&", a lone "&" gone.
inline QString withoutAccessMarks(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

// What is wrong with the visible texts below `top`, one line each. Labels
// for which `skip` answers true (ones that elide on purpose) are left out.
inline std::vector<std::string> problems(QWidget* top, const std::function<bool(QLabel*)>& skip = {}) {
    std::vector<std::string> found;
    auto note = [&](const QWidget* w, const QString& text, const char* what) {
        found.push_back(std::string(what) + ": \"" + text.toStdString() + "\" (" +
                        w->metaObject()->className() + " " + std::to_string(w->width()) + "x" +
                        std::to_string(w->height()) + ")");
    };
    for (QLabel* label : top->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty() || (skip && skip(label))) continue;
        const bool rich = label->textFormat() == Qt::RichText ||
                          (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
        // a label with a buddy shows its access letter underlined, not its "&"
        const QString shown = label->buddy() && !rich ? withoutAccessMarks(label->text()) : label->text();
        if (!rich && lacksGlyphs(shown, label->font())) note(label, label->text(), "missing glyphs");
        if (label->wordWrap()) {
            if (label->heightForWidth(label->width()) > label->height() + 1)
                note(label, label->text(), "cut below");
        } else if (!rich && !shown.contains(QLatin1Char('\n'))) {
            if (label->fontMetrics().horizontalAdvance(shown) - 1 > label->contentsRect().width())
                note(label, label->text(), "cut at the side");
        }
    }
    for (QAbstractButton* button : top->findChildren<QAbstractButton*>()) {
        if (!button->isVisible() || button->text().isEmpty()) continue;
        // a tool button that shows only its icon (a field's show-password
        // toggle) draws no text: its text is its accessible name
        if (const auto* tool = qobject_cast<const QToolButton*>(button);
            tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly && !tool->icon().isNull())
            continue;
        if (lacksGlyphs(button->text(), button->font())) note(button, button->text(), "missing glyphs");
        if (button->sizeHint().width() > button->width() + 1) note(button, button->text(), "cut at the side");
    }
    return found;
}

// A test name for a language code ("zh-Hans" -> "zhHans").
inline std::string testName(std::string_view languageCode) {
    std::string name(languageCode);
    std::erase(name, '-');
    return name;
}

} // namespace textfit
