#pragma once

#include <QRect>
#include <QWidget>

// The mark over the place a drag of files would go while it hovers there:
// a rounded frame in the accent colour over a faint fill, drawn above the
// other widgets of its parent and transparent to the mouse.
class DropHighlight final : public QWidget {
    Q_OBJECT
public:
    explicit DropHighlight(QWidget* parent);

    // Shows the mark over `area` (in the parent's coordinates).
    void showOver(const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;
};
