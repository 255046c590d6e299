#include "kxui/KXSymbol.h"

#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

namespace {

QHash<QString, QIcon>& cache() {
    static QHash<QString, QIcon> icons;
    return icons;
}

// Whether a theme's picture gives a shape once filled with one colour: some
// pixels drawn and some transparent. A picture with no transparent pixel (a
// full-colour icon on its own background, or a theme's "missing" stand-in)
// would become a filled square, an empty one a blank button; both give way
// to the bundled drawing.
bool hasShape(const QPixmap& pm) {
    if (pm.isNull()) return false;
    const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
    bool drawn = false;
    bool clear = false;
    for (int y = 0; y < img.height() && !(drawn && clear); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            const int a = qAlpha(line[x]);
            if (a == 0) clear = true;
            else drawn = true;
        }
    }
    return drawn && clear;
}

QPixmap renderPlain(const QString& symbol, int px) {
    QPixmap out(px, px);
    out.fill(Qt::transparent);
    const QIcon theme = [&] {
        for (const QString& name : KXSymbol::themeNames(symbol))
            if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
        return QIcon();
    }();
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!theme.isNull()) {
        const QPixmap pm = theme.pixmap(QSize(px, px));
        if (hasShape(pm)) {
            const QSize s = pm.size().scaled(px, px, Qt::KeepAspectRatio);
            p.drawPixmap(QRect(QPoint((px - s.width()) / 2, (px - s.height()) / 2), s), pm);
            return out;
        }
    }
    QSvgRenderer svg(KXSymbol::fallbackResource(symbol));
    if (svg.isValid()) svg.render(&p, QRectF(0, 0, px, px));
    return out;
}

} // namespace

const std::vector<KXSymbol::Entry>& KXSymbol::table() {
    // symbol name -> freedesktop names, the standard name first, then the
    // names of the common themes (Adwaita's symbolic icons, Breeze).
    static const std::vector<Entry> entries{
        {"lock.fill", {"object-locked", "changes-prevent", "changes-prevent-symbolic"}},
        {"lock.open.fill", {"object-unlocked", "changes-allow", "changes-allow-symbolic"}},
        {"lock.rectangle.stack.fill", {"security-high", "security-high-symbolic"}},
        // only the symbolic drawing: the full-colour "folder" filled with one
        // colour is a plain block
        {"folder", {"folder-symbolic"}},
        {"plus", {"list-add", "list-add-symbolic"}},
        {"xmark", {"window-close", "window-close-symbolic"}},
        {"touchid", {"fingerprint", "auth-fingerprint", "auth-fingerprint-symbolic"}},
        {"checkmark.circle.fill", {"emblem-ok", "emblem-success", "emblem-ok-symbolic"}},
        {"exclamationmark.triangle.fill", {"dialog-warning", "dialog-warning-symbolic"}},
        {"square.and.arrow.down.on.square", {"document-import", "document-import-symbolic"}},
        {"gearshape", {"preferences-system", "preferences-other", "preferences-system-symbolic"}},
        {"arrow.down.circle", {"system-software-update", "software-update-available",
                               "software-update-available-symbolic"}},
        {"envelope", {"mail-message-new", "mail-send", "mail-unread-symbolic"}},
        {"hand.raised", {"preferences-system-privacy", "security-high", "preferences-system-privacy-symbolic"}},
    };
    return entries;
}

QStringList KXSymbol::themeNames(const QString& symbol) {
    for (const Entry& e : table())
        if (e.symbol == symbol) return e.themeNames;
    return {};
}

QString KXSymbol::fallbackResource(const QString& symbol) {
    return QStringLiteral(":/kxui/symbols/") + symbol + QStringLiteral(".svg");
}

bool KXSymbol::fromTheme(const QString& symbol) {
    for (const QString& name : themeNames(symbol))
        if (QIcon::hasThemeIcon(name)) return true;
    return false;
}

QIcon KXSymbol::icon(const QString& symbol) {
    const QStringList names = themeNames(symbol);
    if (names.isEmpty()) return {};
    for (const QString& name : names)
        if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
    return QIcon(fallbackResource(symbol));
}

QPixmap KXSymbol::pixmap(const QString& symbol, int size, const QColor& tint, qreal devicePixelRatio) {
    const int px = std::max(1, static_cast<int>(std::lround(size * devicePixelRatio)));
    QPixmap out = renderPlain(symbol, px);
    {
        QPainter p(&out);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(out.rect(), tint);
    }
    out.setDevicePixelRatio(devicePixelRatio);
    return out;
}

QIcon KXSymbol::tinted(const QString& symbol, const QColor& tint) {
    if (themeNames(symbol).isEmpty()) return {};
    const QString key = symbol + QLatin1Char('|') + tint.name(QColor::HexArgb);
    auto it = cache().find(key);
    if (it != cache().end()) return *it;
    QIcon made;
    for (int size : {16, 20, 24, 32, 48, 64, 96, 128})
        made.addPixmap(pixmap(symbol, size, tint));
    cache().insert(key, made);
    return made;
}

void KXSymbol::clearCache() {
    cache().clear();
}
