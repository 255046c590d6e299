#pragma once

#include "app/widgets/PasswordField.h"
#include "vaultkit/crypto/Mnemonic.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

class AppModel;
class BusySpinner;
class MnemonicGrid;
class PathLabel;
class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class StepsView;
class StrengthBar;

namespace vaultkit {
class DiskImage;
class Vault;
} // namespace vaultkit

// The guided creation of a vault, in four steps: name and place, password,
// recovery phrase, and a quiz of three words of the phrase. Nothing is
// written to disk before Finish on the quiz; then the vault is made (off the
// GUI thread), registered with the model, given the plain folder look,
// optionally given quick unlock, and announced with "ok.created". A failure
// stays under the quiz with every input kept, so Finish can be pressed again.
//
// A window-modal dialog, fresh for every opening: the phrase is made once per
// sheet and kept across Back and Next. With HC_DEMO = "create" + N (N a
// decimal number) the sheet opens at step N (0 to 3) with a demonstration
// password and the phrase marked as written down.
class CreateSheet : public QDialog {
    Q_OBJECT
public:
    enum Step { location = 0, password = 1, phrase = 2, quiz = 3 };

    explicit CreateSheet(AppModel* model, QWidget* parent = nullptr);
    ~CreateSheet() override;

    // The disk-image driver new vaults are made with (the platform's by
    // default; tests use a fast one).
    void setDiskImage(std::shared_ptr<vaultkit::DiskImage> driver);

    // ---- State ----
    int step() const { return step_; }
    QString name() const;
    const QString& parentFolder() const { return parent_; }
    void setParentFolder(const QString& folder);
    // The folder the vault will occupy: parent + name trimmed of spaces and tabs.
    QString target() const;
    const vaultkit::Mnemonic& mnemonic() const { return mnemonic_; }
    QStringList words() const;
    const std::vector<int>& quizPositions() const { return quiz_; }
    bool useTouchID() const { return useTouchID_; }
    const std::optional<QString>& progress() const { return progress_; }
    const std::optional<QString>& error() const { return error_; }

    // ---- Rules ----
    bool canNext() const;
    // Whether quiz answer i is word number quiz[i] of the phrase, ignoring
    // surrounding spaces and tabs and letter case.
    bool correct(int i) const;
    // Three fresh positions out of 0-11, ascending; empty answers.
    void makeQuiz();
    void next();
    void back();

    // Spaces and tabs off both ends (not line breaks).
    static QString trimSpacesAndTabs(const QString& text);
    // The step HC_DEMO asks for: "create" followed by a decimal number, which
    // is clamped to 0-3; none for anything else.
    static std::optional<int> demoStep(const QString& demo);

    // The folder chooser: folders only, starting in the parent folder, with
    // the confirm button "create.choosePrompt". Owned by the caller.
    QFileDialog* makeParentChooser();

    // ---- Widgets (for tests and the screenshot mode) ----
    StepsView* stepsView() const { return steps_; }
    QLineEdit* nameField() const { return nameField_; }
    PathLabel* parentLabel() const { return parentLabel_; }
    PathLabel* targetLabel() const { return targetLabel_; }
    QPushButton* chooseButton() const { return chooseButton_; }
    PasswordField* passwordField() const { return passwordField_; }
    PasswordField* confirmField() const { return confirmField_; }
    StrengthBar* strengthBar() const { return strength_; }
    QLabel* mismatchLabel() const { return mismatch_; }
    QCheckBox* touchIDToggle() const { return touchIDToggle_; }
    QWidget* touchIDUnavailable() const { return touchIDUnavailable_; }
    MnemonicGrid* grid() const { return grid_; }
    QCheckBox* wroteDownToggle() const { return wroteDown_; }
    QPushButton* printButton() const { return printButton_; }
    QLineEdit* answerField(int i) const;
    QLabel* wordLabel(int i) const;
    QLabel* answerMark(int i) const;
    // Which mark answer i shows: none (fewer than 3 characters), right, wrong.
    enum class Mark { none, right, wrong };
    Mark answerMarkKind(int i) const;
    QLabel* errorLabel() const { return errorLabel_; }
    QLabel* progressLabel() const { return progressLabel_; }
    BusySpinner* spinner() const { return spinner_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QPushButton* backButton() const { return backButton_; }
    QPushButton* nextButton() const { return nextButton_; }
    // Asked when the sheet would close (Escape, Cancel, the close button)
    // after the phrase was shown: nothing has been made yet, and the phrase
    // the user may have written down would belong to no vault. Discard
    // closes the sheet; Continue returns to it. Null when not asked.
    QMessageBox* discardAlert() const { return discardAlert_; }

public slots:
    // Closes the sheet, after asking once the phrase has been shown.
    void reject() override;

signals:
    // Emitted once a creation attempt has ended (true: the vault was made).
    void creationFinished(bool ok);

private:
    QWidget* buildLocation();
    QWidget* buildPassword();
    QWidget* buildPhrase();
    QWidget* buildQuiz();
    void chooseParent();
    void printPhrase();
    void create();
    void created(const std::shared_ptr<vaultkit::Vault>& vault);
    void failed(const std::exception_ptr& error);
    void finishSuccess(const std::shared_ptr<vaultkit::Vault>& vault);
    void setStep(int step);
    void setProgress(std::optional<QString> progress);
    void setError(std::optional<QString> error);
    void refresh();
    void applyDemo();

    QPointer<AppModel> model_;
    std::shared_ptr<vaultkit::DiskImage> driver_;

    int step_ = location;
    QString parent_;
    bool useTouchID_ = false;
    vaultkit::Mnemonic mnemonic_;
    std::vector<int> quiz_;
    std::optional<QString> progress_;
    std::optional<QString> error_;
    QPointer<QMessageBox> discardAlert_;

    StepsView* steps_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QLineEdit* nameField_ = nullptr;
    PathLabel* parentLabel_ = nullptr;
    PathLabel* targetLabel_ = nullptr;
    QPushButton* chooseButton_ = nullptr;
    PasswordField* passwordField_ = nullptr;
    PasswordField* confirmField_ = nullptr;
    StrengthBar* strength_ = nullptr;
    QLabel* mismatch_ = nullptr;
    QCheckBox* touchIDToggle_ = nullptr;
    QWidget* touchIDUnavailable_ = nullptr;
    MnemonicGrid* grid_ = nullptr;
    QCheckBox* wroteDown_ = nullptr;
    QPushButton* printButton_ = nullptr;
    QList<QLabel*> wordLabels_;
    QList<QLineEdit*> answers_;
    QList<QLabel*> marks_;
    QLabel* errorLabel_ = nullptr;
    BusySpinner* spinner_ = nullptr;
    QLabel* progressLabel_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* backButton_ = nullptr;
    QPushButton* nextButton_ = nullptr;
};
