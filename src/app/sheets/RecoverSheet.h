#pragma once

#include "app/widgets/PasswordField.h"

#include <QDialog>
#include <QPointer>

#include <memory>
#include <optional>

class AppModel;
class BusySpinner;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class StrengthBar;

namespace vaultkit {
class Vault;
}

// New password from the recovery phrase. While the phrase is typed a line
// under it says whether it is this vault's phrase (green), how many words it
// has while that is not twelve, or that twelve words are not this vault's
// phrase (red). The action is enabled for this vault's phrase and a new
// password of at least 8 characters that matches its repetition; the sheet
// closes only when the model reports success.
class RecoverSheet : public QDialog {
    Q_OBJECT
public:
    enum class Feedback { matches, count, wrong };

    RecoverSheet(AppModel* model, std::shared_ptr<vaultkit::Vault> vault, QWidget* parent = nullptr);

    // The runs of characters that are not white space (line breaks included).
    static int wordCount(const QString& phrase);

    bool busy() const { return busy_; }
    bool phraseMatches() const { return matches_; }
    Feedback feedback() const;
    bool canRecover() const;
    void recover();

    QPlainTextEdit* phraseEditor() const { return phrase_; }
    QLabel* feedbackLabel() const { return feedbackText_; }
    QLabel* feedbackSymbol() const { return feedbackSymbol_; }
    PasswordField* passwordField() const { return password_; }
    PasswordField* confirmField() const { return confirm_; }
    StrengthBar* strengthBar() const { return strength_; }
    QPushButton* actionButton() const { return action_; }
    QPushButton* cancelButton() const { return cancel_; }
    BusySpinner* spinner() const { return spinner_; }

private:
    void phraseChanged();
    void refresh();

    QPointer<AppModel> model_;
    std::shared_ptr<vaultkit::Vault> vault_;
    bool busy_ = false;
    bool matches_ = false;
    std::optional<Feedback> shownFeedback_;
    QPlainTextEdit* phrase_;
    QLabel* feedbackSymbol_;
    QLabel* feedbackText_;
    PasswordField* password_;
    PasswordField* confirm_;
    StrengthBar* strength_;
    QPushButton* cancel_;
    QPushButton* action_;
    BusySpinner* spinner_;
};
