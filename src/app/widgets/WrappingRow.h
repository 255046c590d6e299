#pragma once

#include <QWidget>

#include <vector>

class QBoxLayout;

// A row of controls (buttons, a field and its button, a label and its
// picker) that puts them one under the other, each at its own width and
// aligned to the leading edge, whenever the row is narrower than they need
// side by side: a long translation or a narrow window then makes the pane
// taller instead of pushing its right edge out of view.
class WrappingRow : public QWidget {
    Q_OBJECT
public:
    explicit WrappingRow(QWidget* parent = nullptr, int spacing = 8);

    // `stretch` as in QBoxLayout, used while the controls are side by side.
    void addWidget(QWidget* widget, int stretch = 0);
    // Whether the controls are one under the other now.
    bool isStacked() const { return stacked_; }
    // The width the visible controls need side by side.
    int sideBySideWidth() const;

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void arrange();

    QBoxLayout* box_;
    std::vector<std::pair<QWidget*, int>> items_;
    bool stacked_ = false;
};
