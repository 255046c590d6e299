#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

#include <vector>

// The symbols the windows show, by their symbol names ("lock.fill",
// "touchid", ...). One table maps each symbol to the freedesktop icon-theme
// names tried in order (so the desktop's own icons show) and to a bundled SVG
// drawn when the theme has none of them (":/kxui/symbols/<symbol>.svg").
//
// Symbols are monochrome: the tinted forms fill the icon's shape with one
// colour, which keeps them legible in light and dark appearances alike
// (symbolic theme icons are drawn dark grey and would vanish on a dark
// window).
class KXSymbol {
public:
    struct Entry {
        QString symbol;
        QStringList themeNames;
    };

    // The whole table, in a fixed order.
    static const std::vector<Entry>& table();

    // The theme names for `symbol`; empty for a symbol the table lacks.
    static QStringList themeNames(const QString& symbol);
    // The bundled drawing of `symbol` (a Qt resource path).
    static QString fallbackResource(const QString& symbol);

    // The desktop theme's icon for `symbol` when the theme has one of its
    // names, else the bundled drawing. A symbol the table lacks gives a null
    // icon.
    static QIcon icon(const QString& symbol);
    // Whether the desktop theme supplies `symbol` (else the bundled drawing
    // is used).
    static bool fromTheme(const QString& symbol);

    // `symbol` filled with `tint`, at the usual sizes (16 to 128 px), for
    // buttons, labels and rows. Cached per symbol and colour.
    static QIcon tinted(const QString& symbol, const QColor& tint);
    // One tinted picture of `size` x `size` logical pixels.
    static QPixmap pixmap(const QString& symbol, int size, const QColor& tint, qreal devicePixelRatio = 1.0);

    // Forgets cached icons (after the icon theme changed).
    static void clearCache();
};
