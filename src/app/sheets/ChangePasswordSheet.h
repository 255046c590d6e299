#pragma once

#include <QDialog>
#include <QPointer>

#include <memory>

class AppModel;
class BusySpinner;
class QLineEdit;
class QPushButton;
class StrengthBar;

namespace vaultkit {
class Vault;
}

// Changes a vault's password: the current one, the new one twice, with the
// strength meter under them. The action is enabled for a non-empty current
// password and a new one of at least 8 characters that matches its
// repetition; the sheet closes only when the model reports success.
class ChangePasswordSheet : public QDialog {
    Q_OBJECT
public:
    ChangePasswordSheet(AppModel* model, std::shared_ptr<vaultkit::Vault> vault, QWidget* parent = nullptr);

    bool busy() const { return busy_; }
    bool canChange() const;
    void change();

    QLineEdit* oldField() const { return old_; }
    QLineEdit* newField() const { return new_; }
    QLineEdit* confirmField() const { return confirm_; }
    StrengthBar* strengthBar() const { return strength_; }
    QPushButton* actionButton() const { return action_; }
    QPushButton* cancelButton() const { return cancel_; }
    BusySpinner* spinner() const { return spinner_; }

private:
    void refresh();

    QPointer<AppModel> model_;
    std::shared_ptr<vaultkit::Vault> vault_;
    bool busy_ = false;
    QLineEdit* old_;
    QLineEdit* new_;
    QLineEdit* confirm_;
    StrengthBar* strength_;
    QPushButton* cancel_;
    QPushButton* action_;
    BusySpinner* spinner_;
};
