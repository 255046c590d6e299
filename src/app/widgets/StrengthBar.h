#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QProgressBar;

// The password strength meter: a 200-pixel bar showing PasswordStrength's
// score out of 6 in red, orange or green, and its caption (none while the
// field is empty). Advice only.
class StrengthBar : public QWidget {
    Q_OBJECT
public:
    explicit StrengthBar(QWidget* parent = nullptr);

    void setPassword(const QString& password);
    int score() const { return score_; }
    QString caption() const;
    QColor tint() const;

    QProgressBar* bar() const { return bar_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyTint();

    QProgressBar* bar_;
    QLabel* caption_;
    int score_ = 0;
};
