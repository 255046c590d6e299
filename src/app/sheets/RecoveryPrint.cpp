#include "app/sheets/RecoveryPrint.h"

#include "kxui/kx.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QLocale>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString dateText(const QDate& date) {
    return QLocale().toString(date, QLocale::LongFormat);
}

QFont sized(QFont font, qreal pixels, bool bold = false) {
    font.setPixelSize(qMax(1, qRound(pixels)));
    font.setBold(bold);
    return font;
}

} // namespace

QStringList RecoveryPrint::lines(const Content& content) {
    QStringList out;
    out << kx("print.heading") << kx("print.vault", content.vaultName)
        << kx("print.date", dateText(content.date));
    for (int i = 0; i < content.words.size(); ++i)
        out << QString::number(i + 1) + QStringLiteral(". ") + content.words[i];
    out << kx("print.howto") << kx("print.keepSafe");
    return out;
}

void RecoveryPrint::render(QPainter& painter, const QRectF& page, const Content& content) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Qt::black);

    // Everything is measured in fractions of the page width (a portrait A4 or
    // Letter page is about 190 mm wide inside its margins).
    const qreal unit = page.width() / 100.0;
    const QFont base = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    qreal y = page.top();

    auto paragraph = [&](const QString& text, const QFont& font, qreal gapAfter) {
        painter.setFont(font);
        const QRectF box(page.left(), y, page.width(), page.bottom() - y);
        const QRectF used = painter.boundingRect(box, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
        painter.drawText(box, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
        y += used.height() + gapAfter;
    };

    paragraph(kx("print.heading"), sized(base, unit * 4.2, true), unit * 2.5);
    paragraph(kx("print.vault", content.vaultName), sized(base, unit * 2.6, true), unit * 0.8);
    paragraph(kx("print.date", dateText(content.date)), sized(base, unit * 2.2), unit * 5);

    // The words: three columns, read row by row as on the screen.
    const int columns = 3;
    const qreal gap = unit * 2;
    const qreal cellWidth = (page.width() - gap * (columns - 1)) / columns;
    const qreal cellHeight = unit * 7.5;
    const QFont numberFont = sized(mono, unit * 2.0);
    const QFont wordFont = sized(mono, unit * 3.0, true);
    for (int i = 0; i < content.words.size(); ++i) {
        const int row = i / columns, col = i % columns;
        const qreal pen = unit * 0.15;
        // the outline is drawn inside the cell, so nothing reaches past the page
        const QRectF cell =
            QRectF(page.left() + col * (cellWidth + gap), y + row * (cellHeight + gap), cellWidth, cellHeight)
                .adjusted(pen, pen, -pen, -pen);
        painter.setPen(QPen(QColor(0x99, 0x99, 0x99), pen));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(cell, unit * 1.2, unit * 1.2);
        painter.setPen(Qt::black);
        const QRectF numberBox(cell.left() + unit * 1.5, cell.top(), unit * 4, cell.height());
        painter.setFont(numberFont);
        painter.drawText(numberBox, Qt::AlignRight | Qt::AlignVCenter, QString::number(i + 1));
        painter.setFont(wordFont);
        painter.drawText(QRectF(numberBox.right() + unit * 2, cell.top(),
                                cell.right() - numberBox.right() - unit * 2, cell.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, content.words[i]);
    }
    const int rows = (static_cast<int>(content.words.size()) + columns - 1) / columns;
    y += rows * (cellHeight + gap) + unit * 3;

    paragraph(kx("print.howto"), sized(base, unit * 2.2), unit * 1.5);
    paragraph(kx("print.keepSafe"), sized(base, unit * 2.2, true), 0);
    painter.restore();
}

bool RecoveryPrint::printTo(QPrinter& printer, const Content& content) {
    printer.setDocName(kx("print.heading") + QStringLiteral(" – ") + content.vaultName);
    printer.setFromTo(1, 1);
    QPainter painter;
    if (!painter.begin(&printer)) return false;
    const QRectF page =
        printer.pageLayout()
            .paintRectPixels(printer.resolution())
            .translated(-printer.pageLayout().paintRectPixels(printer.resolution()).topLeft());
    render(painter, page, content);
    return painter.end();
}

QString RecoveryPrint::defaultFile(const Content& content, const QString& folder) {
    QString name = content.vaultName + QStringLiteral(" \u2013 ") + kx("print.heading") + QStringLiteral(".pdf");
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    return QDir(folder).filePath(name);
}

bool RecoveryPrint::makePrivateFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
}

bool RecoveryPrint::print(const Content& content, QWidget* parent) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(QPageLayout::Portrait);
    printer.setDocName(kx("print.heading"));
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty() || !QDir(documents).exists()) documents = QDir::homePath();
    printer.setOutputFileName(defaultFile(content, documents));
    QPrintDialog dialog(&printer, parent);
    dialog.setWindowTitle(kx("print.heading"));
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted) return false;
    // a file of the phrase is the phrase: nobody else may read it
    if (printer.outputFormat() == QPrinter::PdfFormat && !printer.outputFileName().isEmpty() &&
        !makePrivateFile(printer.outputFileName()))
        return false;
    return printTo(printer, content);
}
