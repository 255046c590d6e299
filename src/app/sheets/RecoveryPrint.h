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
    // confirms. Returns whether a page was printed. Printed to a file, the
    // phrase goes by default to the documents folder (not a "print.pdf" in
    // the home folder) and the file is readable by its owner only, whatever
    // the umask and whether it was there before.
    static bool print(const Content& content, QWidget* parent);
    // The file offered when printing to a file: "<vault> – <heading>.pdf" in
    // `folder` (a "/" in the name becomes "-").
    static QString defaultFile(const Content& content, const QString& folder);
    // Makes `path` a file only its owner can read and write (created empty
    // when missing, an existing one restricted), before anything is
    // written into it. False (nothing written) when that fails.
    static bool makePrivateFile(const QString& path);
    // Prints onto a printer that is already set up (one page).
    static bool printTo(QPrinter& printer, const Content& content);
    // Draws the sheet into `page` (painter coordinates). Text sizes follow
    // the page so the sheet fills it the same way at any resolution.
    static void render(QPainter& painter, const QRectF& page, const Content& content);
    // The lines of text on the sheet, top to bottom (for a plain-text check).
    static QStringList lines(const Content& content);
};
