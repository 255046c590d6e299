#include "kxui/KXAccess.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QRegularExpression>
#include <QWidget>

namespace {

constexpr const char* namedProperty = "kxNamedComboBox";

// A combo box as a reader sees it: its name, its value, and the actions to
// open its list.
class NamedComboBox : public QAccessibleWidget {
public:
    explicit NamedComboBox(QWidget* combo)
        : QAccessibleWidget(combo, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return combo()->currentText();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString& action) override {
        if (action == showMenuAction() || action == pressAction()) combo()->showPopup();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QComboBox* combo() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* namedComboBoxes(const QString&, QObject* object) {
    auto* combo = qobject_cast<QComboBox*>(object);
    if (combo && combo->property(namedProperty).toBool()) return new NamedComboBox(combo);
    return nullptr;
}

} // namespace

QString KXAccess::plainText(const QString& text) {
    static const QRegularExpression suffix(QStringLiteral("\\s*[(（]&[^&][)）]"));
    QString s = text;
    s.remove(suffix);
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == QLatin1Char('&')) {
            if (i + 1 < s.size() && s[i + 1] == QLatin1Char('&')) {
                out += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        out += s[i];
    }
    return out;
}

QChar KXAccess::letter(const QString& text) {
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) continue;
        if (text[i + 1] == QLatin1Char('&')) {
            ++i;
            continue;
        }
        return text[i + 1].toLower();
    }
    return {};
}

void KXAccess::nameComboBox(QComboBox* combo, const QString& text) {
    static const bool installed = [] {
        QAccessible::installFactory(namedComboBoxes);
        return true;
    }();
    (void)installed;
    combo->setProperty(namedProperty, true);
    combo->setAccessibleName(plainText(text));
}

void KXAccess::name(QWidget* widget, const QString& text) {
    if (widget) widget->setAccessibleName(plainText(text));
}
