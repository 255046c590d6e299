#pragma once

#include "app/sheets/ActionError.h"
#include "app/widgets/PasswordField.h"

#include <QDialog>
#include <QPointer>
#include <QString>

#include <functional>

class AppModel;
class BusySpinner;
class QLabel;
class QPushButton;

// A small sheet that asks for a vault's password for one action (turning on
// quick unlock, making a new recovery phrase). OK runs the action; the sheet
// closes only when the action reports success, and otherwise stays open with
// the password as typed, selected in the focused field, and the reason under
// it (taken from the model's banner when the sheet knows the model).
class PasswordPromptSheet : public QDialog {
    Q_OBJECT
public:
    // Runs the operation for `password` and calls `done` with its outcome on
    // the GUI thread (once).
    using Action = std::function<void(const QString& password, std::function<void(bool)> done)>;

    PasswordPromptSheet(const QString& title, const QString& note, Action action, QWidget* parent = nullptr);

    // A failed action's error in the model's banner shows in the sheet.
    void showErrorsOf(AppModel* model);

    bool busy() const { return busy_; }
    // OK: runs the action unless the password is empty or an action runs.
    void go();

    PasswordField* passwordField() const { return field_; }
    QLabel* errorLabel() const { return error_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    BusySpinner* spinner() const { return spinner_; }

private:
    void refresh();

    Action action_;
    QPointer<AppModel> model_;
    ActionError actionError_;
    bool busy_ = false;
    PasswordField* field_;
    QLabel* error_;
    QPushButton* cancel_;
    QPushButton* ok_;
    BusySpinner* spinner_;
};
