#pragma once

#include <QTimer>
#include <QWidget>

// A small spinning indicator (16 px): an arc in the secondary text colour
// that turns while the widget is visible.
class BusySpinner : public QWidget {
    Q_OBJECT
public:
    explicit BusySpinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};
