#include "kxcore/Autostart.h"

#include "kxcore/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace kxcore {

namespace {

// Characters that make a word need quotes in an Exec= value.
bool needsQuotes(const QString& word) {
    if (word.isEmpty()) return true;
    for (const QChar c : word) {
        if (c.isSpace()) return true;
        switch (c.unicode()) {
        case '"':
        case '\'':
        case '\\':
        case '>':
        case '<':
        case '~':
        case '|':
        case '&':
        case ';':
        case '$':
        case '*':
        case '?':
        case '#':
        case '(':
        case ')':
        case '`':
            return true;
        default:
            break;
        }
    }
    return false;
}

QString quoteWord(const QString& word) {
    QString out;
    if (!needsQuotes(word)) {
        out = word;
    } else {
        out = QStringLiteral("\"");
        for (const QChar c : word) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                out += QLatin1Char('\\');
            out += c;
        }
        out += QLatin1Char('"');
    }
    out.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return out;
}

// A value of a desktop entry string: no line breaks (they would start a new
// key), backslash escapes for the ones a name could hold.
QString entryValue(const QString& value) {
    QString out;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else
            out += c;
    }
    return out;
}

} // namespace

Autostart::Autostart(QString appID, QString name, QString program, QStringList arguments)
    : appID_(std::move(appID))
    , name_(std::move(name))
    , program_(std::move(program))
    , arguments_(std::move(arguments)) {}

QString Autostart::entryPath() const {
    return AppPaths::configHome() + QStringLiteral("/autostart/") + appID_ + QStringLiteral(".desktop");
}

QString Autostart::execLine(const QString& program, const QStringList& arguments) {
    QStringList words{quoteWord(program)};
    for (const QString& a : arguments)
        words << quoteWord(a);
    QString line = words.join(QLatin1Char(' '));
    line.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return line;
}

QByteArray Autostart::entryText() const {
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n");
    text += QStringLiteral("Name=") + entryValue(name_) + QLatin1Char('\n');
    text += QStringLiteral("Exec=") + execLine(program_, arguments_) + QLatin1Char('\n');
    text += QStringLiteral("Icon=") + entryValue(appID_) + QLatin1Char('\n');
    text += QStringLiteral("Terminal=false\n"
                           "NoDisplay=true\n"
                           "X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

bool Autostart::entryIsActive(const QByteArray& text) {
    bool inEntry = false;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0) continue;
        const QByteArray key = line.left(eq).trimmed();
        const QByteArray value = line.mid(eq + 1).trimmed();
        if (key == "Hidden" && value == "true") return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
    }
    return true;
}

bool Autostart::isEnabled() const {
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly)) return false;
    return entryIsActive(file.readAll());
}

bool Autostart::setEnabled(bool enabled, QString* error) const {
    const QString path = entryPath();
    auto fail = [&](const QString& what) {
        if (error) *error = what;
        return false;
    };
    if (!enabled) {
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) return true;
        QFile file(path);
        if (!file.remove())
            return fail(QStringLiteral("cannot remove ") + path + QStringLiteral(": ") + file.errorString());
        return true;
    }
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) return fail(QStringLiteral("cannot create the folder ") + dir);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write ") + path + QStringLiteral(": ") + out.errorString());
    out.write(entryText());
    if (!out.commit())
        return fail(QStringLiteral("cannot write ") + path + QStringLiteral(": ") + out.errorString());
    return true;
}

} // namespace kxcore
