#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;

// The step indicator of a guided sheet: the steps side by side, each a
// symbol and its title, joined by "›". For step i and the current step c: a
// filled check when i < c, a filled dot in a ring when i = c, an empty ring
// when i > c; the symbol in the text colour when i <= c, else secondary; the
// title semibold for the current step and secondary for the steps to come.
// It only tells where the user is: no accent colour (which marks controls),
// no focus, no reaction to the mouse.
class StepsView : public QWidget {
    Q_OBJECT
public:
    enum class Mark { done, current, todo };

    explicit StepsView(QStringList steps, int current = 0, QWidget* parent = nullptr);

    const QStringList& steps() const { return steps_; }
    int current() const { return current_; }
    void setCurrent(int current);

    // What step i shows now (for tests and accessibility).
    Mark mark(int i) const;
    QLabel* titleLabel(int i) const;
    // The colour step i's symbol is drawn in.
    QColor symbolColour(int i) const;

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    QStringList steps_;
    int current_ = 0;
    QList<QLabel*> symbols_;
    QList<QLabel*> titles_;
};
