#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class BusySpinner;
class QLineEdit;
class QPushButton;

// A small sheet that asks for a vault's password for one action (turning on
// quick unlock, making a new recovery phrase). OK runs the action; the sheet
// closes only when the action reports success, and otherwise stays open with
// the password as typed (the model shows why in its banner).
class PasswordPromptSheet : public QDialog {
    Q_OBJECT
public:
    // Runs the operation for `password` and calls `done` with its outcome on
    // the GUI thread (once).
    using Action = std::function<void(const QString& password, std::function<void(bool)> done)>;

    PasswordPromptSheet(const QString& title, const QString& note, Action action, QWidget* parent = nullptr);

    bool busy() const { return busy_; }
    // OK: runs the action unless the password is empty or an action runs.
    void go();

    QLineEdit* passwordField() const { return field_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    BusySpinner* spinner() const { return spinner_; }

private:
    void refresh();

    Action action_;
    bool busy_ = false;
    QLineEdit* field_;
    QPushButton* cancel_;
    QPushButton* ok_;
    BusySpinner* spinner_;
};
