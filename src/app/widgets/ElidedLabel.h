#pragma once

#include <QLabel>
#include <QString>

// One line of plain text that never asks for more width than it is given:
// when the text is wider than the label it is shortened with "…" (at the end
// by default) and the whole text is the tooltip. The shown text can be
// selected; text() is what is drawn, fullText() what was set.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr, Qt::TextElideMode mode = Qt::ElideRight);

    void setFullText(const QString& text);
    const QString& fullText() const { return full_; }
    // Whether the text is shown shortened now.
    bool isElided() const { return text() != full_; }

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void elide();

    QString full_;
    Qt::TextElideMode mode_;
};
