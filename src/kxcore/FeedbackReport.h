#pragma once

#include <QString>

#include <optional>

namespace kxcore {

// One message of feedback as it is sent.
struct FeedbackReport {
    QString email;
    QString message;
    QString scene; // where the form was opened ("menu", "settings", ...)
    QString code;  // an error code, or empty
    std::optional<QString> diagnostics;

    // After trimming spaces and tabs at both ends: one "@", no white space,
    // and a dot after the "@" with text on both sides (a line break at the
    // very end is white space too and is refused).
    static bool isValidEmail(const QString& text);
    // `text` without spaces and tabs at either end (line breaks stay).
    static QString trimSpacesAndTabs(const QString& text);
    // The last `count` characters of `text` (a character being one Unicode
    // code point, so a surrogate pair is never cut).
    static QString lastCharacters(const QString& text, qsizetype count);
};

} // namespace kxcore
