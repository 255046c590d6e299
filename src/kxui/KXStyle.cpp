#include "kxui/KXStyle.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyleFactory>

#include <functional>

namespace {

QColor& accentStore() {
    static QColor c(0x34, 0x78, 0xf6);
    return c;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * (1 - t) + b.redF() * t),
                            static_cast<float>(a.greenF() * (1 - t) + b.greenF() * t),
                            static_cast<float>(a.blueF() * (1 - t) + b.blueF() * t));
}

// Re-applies a palette tweak whenever the application's palette changes,
// since a widget's own palette roles no longer follow it.
class PaletteFollower : public QObject {
public:
    PaletteFollower(QWidget* widget, std::function<void(QWidget*)> apply)
        : QObject(widget)
        , apply_(std::move(apply)) {
        widget->installEventFilter(this);
        apply_(widget);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::StyleChange) {
            if (auto* w = qobject_cast<QWidget*>(watched)) {
                // start from the inherited palette again, then tweak it
                w->setPalette(QPalette());
                apply_(w);
            }
        }
        return false;
    }

private:
    std::function<void(QWidget*)> apply_;
};

// Draws a focus ring around a flat button that has the keyboard focus: the
// style draws none for a flat button, so a Tab stop on a link would not show.
class FocusRing : public QObject {
public:
    explicit FocusRing(QWidget* widget)
        : QObject(widget) {
        setObjectName(QStringLiteral("kxFocusRing"));
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint || painting_) return false;
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w || !w->hasFocus()) return false;
        // the button paints itself first, the ring goes on top
        painting_ = true;
        static_cast<QObject*>(w)->event(event); // QObject::event is public; the call is virtual
        painting_ = false;
        QPainter p(w);
        p.setRenderHint(QPainter::Antialiasing);
        QPen pen(w->palette().color(QPalette::Highlight));
        pen.setWidthF(2.0);
        p.setPen(pen);
        p.drawRoundedRect(QRectF(w->rect()).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
        return true;
    }

private:
    bool painting_ = false;
};

void follow(QWidget* widget, const char* tag, std::function<void(QWidget*)> apply) {
    // one follower per widget and kind: a later call replaces the earlier
    for (QObject* child : widget->children())
        if (child->objectName() == QLatin1String(tag)) delete child;
    auto* f = new PaletteFollower(widget, std::move(apply));
    f->setObjectName(QLatin1String(tag));
}

} // namespace

bool KXStyle::isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor KXStyle::green(const QPalette& palette) {
    return isDark(palette) ? QColor(0x32, 0xd7, 0x4b) : QColor(0x1e, 0x9e, 0x3e);
}
QColor KXStyle::red(const QPalette& palette) {
    return isDark(palette) ? QColor(0xff, 0x5f, 0x57) : QColor(0xd1, 0x24, 0x1a);
}
QColor KXStyle::orange(const QPalette& palette) {
    return isDark(palette) ? QColor(0xff, 0xa6, 0x1a) : QColor(0xd9, 0x6c, 0x00);
}
QColor KXStyle::secondary(const QPalette& palette) {
    return mix(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.42);
}
QColor KXStyle::separator(const QPalette& palette) {
    return mix(palette.color(QPalette::WindowText), palette.color(QPalette::Window),
               isDark(palette) ? 0.78 : 0.84);
}
QColor KXStyle::controlBackground(const QPalette& palette) {
    return isDark(palette) ? mix(palette.color(QPalette::Window), QColor(Qt::white), 0.05)
                           : palette.color(QPalette::Base);
}

QColor KXStyle::tone(Tone t, const QPalette& palette) {
    switch (t) {
    case Tone::primary:
        return palette.color(QPalette::WindowText);
    case Tone::secondary:
        return secondary(palette);
    case Tone::green:
        return green(palette);
    case Tone::red:
        return red(palette);
    case Tone::orange:
        return orange(palette);
    case Tone::accent:
        return palette.color(QPalette::Highlight);
    }
    return palette.color(QPalette::WindowText);
}

void KXStyle::setAccent(const QColor& accent) {
    if (accent.isValid()) accentStore() = accent;
}
QColor KXStyle::accent() {
    return accentStore();
}

QColor KXStyle::colorFromHex(const QString& hex) {
    QString t = hex.trimmed();
    if (!t.startsWith(QLatin1Char('#'))) t.prepend(QLatin1Char('#'));
    if (t.size() != 4 && t.size() != 7) return {};
    for (qsizetype i = 1; i < t.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(t.at(i).toLatin1())) || t.at(i).unicode() > 127)
            return {};
    return QColor::fromString(t);
}

QFont KXStyle::font(Text text, const QFont& base) {
    QFont f = base;
    const qreal pt = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    switch (text) {
    case Text::largeTitle:
        f.setPointSizeF(pt * 2.0);
        f.setBold(true);
        break;
    case Text::title:
        f.setPointSizeF(pt * 1.6);
        f.setBold(true);
        break;
    case Text::headline:
        f.setBold(true);
        break;
    case Text::body:
        break;
    case Text::callout:
        f.setPointSizeF(pt * 0.93);
        break;
    case Text::caption:
        f.setPointSizeF(pt * 0.85);
        break;
    }
    return f;
}

void KXStyle::setFont(QWidget* widget, Text text) {
    widget->setFont(font(text, QApplication::font()));
}

void KXStyle::setTone(QLabel* label, Tone t) {
    follow(label, "kxTone", [t](QWidget* w) {
        QPalette p = w->palette();
        const QColor c = tone(t, QApplication::palette());
        p.setColor(QPalette::WindowText, c);
        p.setColor(QPalette::Text, c);
        w->setPalette(p);
    });
}

void KXStyle::makeProminent(QPushButton* button) {
    follow(button, "kxButtonKind", [](QWidget* w) {
        QPalette p = w->palette();
        const QPalette app = QApplication::palette();
        // only the enabled look: a disabled prominent button keeps the
        // style's disabled colours, so it does not look clickable
        for (auto group : {QPalette::Active, QPalette::Inactive}) {
            p.setColor(group, QPalette::Button, app.color(QPalette::Highlight));
            p.setColor(group, QPalette::ButtonText, app.color(QPalette::HighlightedText));
        }
        w->setPalette(p);
    });
}

void KXStyle::makeLink(QPushButton* button) {
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    if (!button->findChild<QObject*>(QStringLiteral("kxFocusRing"), Qt::FindDirectChildrenOnly))
        new FocusRing(button);
    follow(button, "kxButtonKind", [](QWidget* w) {
        QPalette p = w->palette();
        const QColor link = QApplication::palette().color(QPalette::Link);
        p.setColor(QPalette::ButtonText, link);
        w->setPalette(p);
    });
}

void KXStyle::makeDestructive(QPushButton* button) {
    follow(button, "kxButtonKind", [](QWidget* w) {
        QPalette p = w->palette();
        p.setColor(QPalette::ButtonText, red(QApplication::palette()));
        w->setPalette(p);
    });
}

QPalette KXStyle::withAccent(QPalette p) {
    const QColor a = accent();
    p.setColor(QPalette::Highlight, a);
    p.setColor(QPalette::HighlightedText, Qt::white);
    // links stay readable on the window: a lighter accent on dark windows
    p.setColor(QPalette::Link, isDark(p) ? a.lighter(135) : a);
    return p;
}

QPalette KXStyle::lightPalette() {
    QPalette p;
    const QColor window(0xf2, 0xf2, 0xf3), text(0x1d, 0x1d, 0x1f), base(Qt::white);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0xf6, 0xf6, 0xf7));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0xfb, 0xfb, 0xfc));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
    p.setColor(QPalette::Light, Qt::white);
    p.setColor(QPalette::Midlight, QColor(0xe4, 0xe4, 0xe6));
    p.setColor(QPalette::Mid, QColor(0xc4, 0xc4, 0xc8));
    p.setColor(QPalette::Dark, QColor(0xa0, 0xa0, 0xa5));
    p.setColor(QPalette::Shadow, QColor(0x60, 0x60, 0x64));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xa8, 0xa8, 0xad));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0xa8, 0xa8, 0xad));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xa8, 0xa8, 0xad));
    return withAccent(p);
}

QPalette KXStyle::darkPalette() {
    QPalette p;
    const QColor window(0x26, 0x26, 0x28), text(0xec, 0xec, 0xee), base(0x1c, 0x1c, 0x1e);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x2c, 0x2c, 0x2e));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3c));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3c));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x4c));
    p.setColor(QPalette::Midlight, QColor(0x40, 0x40, 0x42));
    p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x32));
    p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x1a));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6e, 0x6e, 0x73));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6e, 0x6e, 0x73));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6e, 0x6e, 0x73));
    return withAccent(p);
}

bool KXStyle::applyAppearance(const QString& name) {
    QPalette palette;
    if (name == QLatin1String("light"))
        palette = lightPalette();
    else if (name == QLatin1String("dark"))
        palette = darkPalette();
    else
        return false;
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
    QApplication::setPalette(palette);
    return true;
}
