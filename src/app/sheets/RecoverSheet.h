#pragma once

#include "app/widgets/PasswordField.h"

#include <QDialog>
#include <QStringList>
#include <QPointer>

#include <memory>
#include <vector>
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
// phrase (red). Each word that is not in the word list is underlined in red
// and named under the phrase (the word still being typed only once a space
// follows it), and the word the first doubtful one stands for (four letters
// identify a word) is offered on a button that puts it in. The action is enabled for this vault's phrase and a new
// password of at least 8 characters that matches its repetition; the sheet
// closes only when the model reports success.
class RecoverSheet : public QDialog {
    Q_OBJECT
public:
    enum class Feedback { matches, count, wrong };

    RecoverSheet(AppModel* model, std::shared_ptr<vaultkit::Vault> vault, QWidget* parent = nullptr);

    // The runs of characters that are not white space (line breaks included).
    static int wordCount(const QString& phrase);

    // A run of non-white-space characters of the phrase.
    struct Word {
        int start = 0;
        int length = 0;
        bool finished = false; // white space follows it
    };
    static std::vector<Word> words(const QString& phrase);

    bool busy() const { return busy_; }
    bool phraseMatches() const { return matches_; }
    Feedback feedback() const;
    bool canRecover() const;
    void recover();

    QPlainTextEdit* phraseEditor() const { return phrase_; }
    QLabel* feedbackLabel() const { return feedbackText_; }
    QLabel* feedbackSymbol() const { return feedbackSymbol_; }
    // The finished words not in the word list, as typed.
    const QStringList& unknownWords() const { return unknown_; }
    // "Not in the word list: …" (hidden when every finished word is known).
    QLabel* unknownLabel() const { return unknownLabel_; }
    // Puts the offered word in place of the doubtful one (hidden when none).
    QPushButton* completionButton() const { return complete_; }
    const QString& offeredWord() const { return offered_; }
    PasswordField* passwordField() const { return password_; }
    PasswordField* confirmField() const { return confirm_; }
    StrengthBar* strengthBar() const { return strength_; }
    QPushButton* actionButton() const { return action_; }
    QPushButton* cancelButton() const { return cancel_; }
    BusySpinner* spinner() const { return spinner_; }

private:
    void phraseChanged();
    void markWords();
    void complete();
    void refresh();

    QPointer<AppModel> model_;
    std::shared_ptr<vaultkit::Vault> vault_;
    bool busy_ = false;
    bool matches_ = false;
    std::optional<Feedback> shownFeedback_;
    QPlainTextEdit* phrase_;
    QLabel* feedbackSymbol_;
    QLabel* feedbackText_;
    QLabel* unknownLabel_;
    QPushButton* complete_;
    QStringList unknown_;
    QString offered_;
    Word offeredFor_;
    PasswordField* password_;
    PasswordField* confirm_;
    StrengthBar* strength_;
    QPushButton* cancel_;
    QPushButton* action_;
    BusySpinner* spinner_;
};
