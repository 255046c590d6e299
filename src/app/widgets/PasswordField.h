#pragma once

#include <QLineEdit>
#include <QString>

class QAction;

// A field for a password or another secret the user types: hidden as typed,
// with an eye button at its end that shows and hides the text, and the same
// input hints wherever it is used (no completion or prediction, no automatic
// capitals, sensitive data, hidden text), kept while the text is shown.
// The placeholder is also the accessible name.
class PasswordField : public QLineEdit {
    Q_OBJECT
public:
    explicit PasswordField(const QString& placeholder, QWidget* parent = nullptr);

    // The hints every secret field carries.
    static Qt::InputMethodHints secretHints();

    bool revealed() const { return revealed_; }
    void setRevealed(bool revealed);

    // The show/hide button at the field's end (checkable; checked while
    // the text is shown).
    QAction* revealAction() const { return reveal_; }
    // The button the field shows for it (named for screen readers).
    QWidget* revealButton() const;

    // After a refused attempt: focus in the field with its text selected,
    // so that typing replaces it.
    void selectForRetry();

protected:
    void changeEvent(QEvent* event) override;

private:
    void refreshReveal();

    QAction* reveal_;
    bool revealed_ = false;
};
