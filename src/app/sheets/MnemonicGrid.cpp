#include "app/sheets/MnemonicGrid.h"

#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

namespace {

// One tile: the number and the word on a rounded rectangle filled with the
// text colour at 6 % opacity.
class Tile : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::WindowText);
        fill.setAlphaF(0.06);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 8, 8);
        p.fillPath(path, fill);
    }
};

} // namespace

MnemonicGrid::MnemonicGrid(QStringList words, QWidget* parent)
    : QWidget(parent)
    , words_(std::move(words)) {
    // Tab reaches the grid too: Copy there copies the whole phrase
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(kx("create.s3"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(3, 3, 3, 3); // room for the focus ring
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(10);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    QFont wordFont = mono;
    wordFont.setPointSizeF(font().pointSizeF() > 0 ? font().pointSizeF() * 1.05 : 10.5);
    wordFont.setWeight(QFont::DemiBold);
    QFont numberFont = mono;
    numberFont.setPointSizeF(font().pointSizeF() > 0 ? font().pointSizeF() * 0.85 : 8.5);

    for (int i = 0; i < words_.size(); ++i) {
        auto* tile = new Tile(this);
        auto* row = new QHBoxLayout(tile);
        row->setContentsMargins(10, 7, 10, 7);
        row->setSpacing(8);
        auto* number = new QLabel(QString::number(i + 1), tile);
        number->setFont(numberFont);
        number->setFixedWidth(20);
        number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        KXStyle::setTone(number, KXStyle::Tone::secondary);
        auto* word = new QLabel(words_[i], tile);
        word->setTextFormat(Qt::PlainText);
        word->setFont(wordFont);
        word->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        word->setCursor(Qt::IBeamCursor);
        word->installEventFilter(this);
        row->addWidget(number);
        row->addWidget(word, 1);
        grid->addWidget(tile, i / 3, i % 3);
        numberLabels_.append(number);
        wordLabels_.append(word);
    }
    for (int c = 0; c < 3; ++c)
        grid->setColumnStretch(c, 1);
    QStringList spoken;
    for (int i = 0; i < words_.size(); ++i)
        spoken << QStringLiteral("%1 %2").arg(i + 1).arg(words_[i]);
    setAccessibleDescription(spoken.join(QStringLiteral(", ")));
}

void MnemonicGrid::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void MnemonicGrid::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void MnemonicGrid::paintEvent(QPaintEvent*) {
    // where the keyboard is: a ring in the accent colour around the grid
    if (!hasFocus()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(palette().color(QPalette::Highlight));
    pen.setWidthF(2.0);
    p.setPen(pen);
    p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 9, 9);
}

QLabel* MnemonicGrid::wordLabel(int i) const {
    return wordLabels_.value(i);
}

QLabel* MnemonicGrid::numberLabel(int i) const {
    return numberLabels_.value(i);
}

void MnemonicGrid::copyAll() const {
    QApplication::clipboard()->setText(words_.join(QLatin1Char(' ')));
}

void MnemonicGrid::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copyAll();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool MnemonicGrid::eventFilter(QObject* watched, QEvent* event) {
    auto* word = qobject_cast<QLabel*>(watched);
    if (!word || !wordLabels_.contains(word) || word->hasSelectedText())
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        copyAll();
        event->accept();
        return true;
    }
    if (event->type() == QEvent::ContextMenu) {
        contextMenuEvent(static_cast<QContextMenuEvent*>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void MnemonicGrid::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(kx("mnemonic.copyAll"), this, [this] { copyAll(); });
    menu.exec(event->globalPos());
}
