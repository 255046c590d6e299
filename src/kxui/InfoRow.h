#pragma once

#include <QWidget>

class QLabel;

namespace kxui {

// One line of a card: a label in the secondary colour, a flexible space, and
// the value as text the user can select and copy. A value wider than the row
// is shortened in the middle with "…" (its start and end stay readable); the
// whole value is its tooltip and what value() answers.
class InfoRow : public QWidget {
    Q_OBJECT
public:
    InfoRow(const QString& label, const QString& value, QWidget* parent = nullptr);

    void setValue(const QString& value);
    QString label() const;
    QString value() const;

    QLabel* labelWidget() const { return label_; }
    QLabel* valueWidget() const { return value_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void elide();

    QString full_;
    QLabel* label_;
    QLabel* value_;
};

} // namespace kxui
