#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

class QPainter;
class QPrinter;
class QRectF;
class QWidget;

// The one-page recovery sheet a user can print (or save as PDF) to keep the
// phrase on paper: the vault's name, the date the phrase was made, the
// twelve numbered words in reading order and how to use them.
class RecoveryPrint {
public:
    struct Content {
        QString vaultName;
        QDate date;
        QStringList words;
    };

    RecoveryPrint() = delete;

    // Opens the desktop's print dialog for `content`; prints when the user
    // confirms. Returns whether a page was printed.
    static bool print(const Content& content, QWidget* parent);
    // Prints onto a printer that is already set up (one page).
    static bool printTo(QPrinter& printer, const Content& content);
    // Draws the sheet into `page` (painter coordinates). Text sizes follow
    // the page so the sheet fills it the same way at any resolution.
    static void render(QPainter& painter, const QRectF& page, const Content& content);
    // The lines of text on the sheet, top to bottom (for a plain-text check).
    static QStringList lines(const Content& content);
};
