#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

// What the detail pane shows when no vault is selected: a large tinted
// symbol, a bold title, a short explanation and the button that opens the
// creation sheet (`onCreate`).
class EmptyState : public QWidget {
    Q_OBJECT
public:
    static constexpr int bodyWidth = 460;

    explicit EmptyState(std::function<void()> onCreate, QWidget* parent = nullptr);

    QLabel* symbolLabel() const { return symbol_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* bodyLabel() const { return body_; }
    QPushButton* createButton() const { return button_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void paintSymbol();

    std::function<void()> onCreate_;
    QLabel* symbol_;
    QLabel* title_;
    QLabel* body_;
    QPushButton* button_;
};
