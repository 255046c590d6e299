#pragma once

#include "app/sheets/ActionError.h"
#include "app/widgets/FieldError.h"
#include "app/widgets/PasswordField.h"

#include <QDialog>
#include <QPointer>

#include <memory>

class AppModel;
class BusySpinner;
class QLabel;
class QPushButton;
class StrengthBar;

namespace vaultkit {
class Vault;
}

// Changes a vault's password: the current one, the new one twice, with the
// strength meter under them. The action is enabled for a non-empty current
// password and a new one of at least 8 characters that matches its
// repetition; the sheet closes only when the model reports success, and
// otherwise shows the model's error under the fields with the field to
// correct focused (the current password after a wrong one).
class ChangePasswordSheet : public QDialog {
    Q_OBJECT
public:
    ChangePasswordSheet(AppModel* model, std::shared_ptr<vaultkit::Vault> vault, QWidget* parent = nullptr);

    bool busy() const { return busy_; }
    bool canChange() const;
    void change();

    PasswordField* oldField() const { return old_; }
    PasswordField* newField() const { return new_; }
    PasswordField* confirmField() const { return confirm_; }
    StrengthBar* strengthBar() const { return strength_; }
    QLabel* errorLabel() const { return error_; }
    QPushButton* actionButton() const { return action_; }
    QPushButton* cancelButton() const { return cancel_; }
    BusySpinner* spinner() const { return spinner_; }

private:
    void refresh();

    QPointer<AppModel> model_;
    std::shared_ptr<vaultkit::Vault> vault_;
    ActionError actionError_;
    bool busy_ = false;
    PasswordField* old_;
    PasswordField* new_;
    PasswordField* confirm_;
    StrengthBar* strength_;
    FieldError* error_;
    QPushButton* cancel_;
    QPushButton* action_;
    BusySpinner* spinner_;
};
