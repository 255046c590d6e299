#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;

// The twelve words of a recovery phrase in three columns, row by row, each
// with its number, on a faint rounded tile. Every word can be selected with
// the mouse or keyboard and copied; Copy on the grid itself (shortcut or
// context menu) puts all words, in order and separated by spaces, on the
// clipboard; so does Copy in a word where nothing is selected (a click in a
// word gives it the focus, and Copy there would copy nothing).
class MnemonicGrid : public QWidget {
    Q_OBJECT
public:
    explicit MnemonicGrid(QStringList words, QWidget* parent = nullptr);

    const QStringList& words() const { return words_; }
    QLabel* wordLabel(int i) const;
    QLabel* numberLabel(int i) const;

    // All words, separated by single spaces, to the clipboard.
    void copyAll() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QStringList words_;
    QList<QLabel*> wordLabels_;
    QList<QLabel*> numberLabels_;
};
