#include "kxcore/FeedbackReport.h"

#include <QRegularExpression>

namespace kxcore {

QString FeedbackReport::trimSpacesAndTabs(const QString& text) {
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype begin = 0, end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

bool FeedbackReport::isValidEmail(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral(R"(^[^@\s]+@[^@\s]+\.[^@\s]+\z)"));
    return pattern.match(trimSpacesAndTabs(text)).hasMatch();
}

QString FeedbackReport::lastCharacters(const QString& text, qsizetype count) {
    if (count <= 0) return {};
    qsizetype i = text.size();
    while (i > 0 && count > 0) {
        --i;
        if (text[i].isLowSurrogate() && i > 0 && text[i - 1].isHighSurrogate()) --i;
        --count;
    }
    return text.mid(i);
}

} // namespace kxcore
