#include "app/sheets/create/CreateSheet.h"

#include "app/model/AppModel.h"
#include "app/model/QuickUnlockAvailability.h"
#include "app/sheets/MnemonicGrid.h"
#include "app/sheets/RecoveryPrint.h"
#include "app/sheets/SheetStyle.h"
#include "app/sheets/create/StepsView.h"
#include "app/widgets/BusySpinner.h"
#include "app/widgets/PasswordField.h"
#include "app/widgets/PasswordStrength.h"
#include "app/widgets/PathLabel.h"
#include "app/widgets/StrengthBar.h"
#include "kxui/KXAccess.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QThreadPool>
#include <QVBoxLayout>

#include <openssl/crypto.h>

#include <algorithm>
#include <random>

namespace fs = std::filesystem;

namespace {

// The fixed password of the demonstration start (13 characters).
constexpr const char* demoPassword = "Demo-Pass-123";

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

PasswordField* passwordLineEdit(const QString& placeholder, QWidget* parent) {
    auto* field = new PasswordField(placeholder, parent);
    field->setMaximumWidth(SheetStyle::fieldWidth);
    return field;
}

QVBoxLayout* pageLayout(QWidget* page) {
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    return column;
}

} // namespace

CreateSheet::CreateSheet(AppModel* model, QWidget* parent)
    : QDialog(parent)
    , model_(model)
    , driver_(vaultkit::DiskImage::platformDefault())
    , parent_(QDir::homePath())
    , useTouchID_(model ? model->quickUnlock().touchIDAvailable() : vaultkit::QuickUnlockKey::isAvailable())
    , mnemonic_(vaultkit::Mnemonic::generate()) {
    setWindowTitle(KXAccess::plainText(kx("action.new")));
    setWindowModality(Qt::WindowModal);
    setObjectName(QStringLiteral("createSheet"));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(16);
    column->setSizeConstraint(QLayout::SetMinimumSize);

    steps_ = new StepsView({kx("create.s1"), kx("create.s2"), kx("create.s3"), kx("create.s4")}, 0, this);
    column->addWidget(steps_);

    pages_ = new QStackedWidget(this);
    pages_->addWidget(buildLocation());
    pages_->addWidget(buildPassword());
    pages_->addWidget(buildPhrase());
    pages_->addWidget(buildQuiz());
    column->addWidget(pages_);

    errorLabel_ = SheetStyle::error(QString(), this);
    errorLabel_->hide();
    column->addWidget(errorLabel_);
    column->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    cancelButton_ = new QPushButton(kx("common.cancel"), this);
    cancelButton_->setAutoDefault(false);
    connect(cancelButton_, &QPushButton::clicked, this, &CreateSheet::reject);
    buttons->addWidget(cancelButton_);
    buttons->addStretch(1);
    spinner_ = new BusySpinner(this);
    spinner_->hide();
    buttons->addWidget(spinner_);
    progressLabel_ = new QLabel(this);
    progressLabel_->setTextFormat(Qt::PlainText);
    KXStyle::setTone(progressLabel_, KXStyle::Tone::secondary);
    progressLabel_->hide();
    buttons->addWidget(progressLabel_);
    backButton_ = new QPushButton(kx("create.back"), this);
    backButton_->setAutoDefault(false);
    connect(backButton_, &QPushButton::clicked, this, &CreateSheet::back);
    buttons->addWidget(backButton_);
    nextButton_ = new QPushButton(kx("create.next"), this);
    KXStyle::makeProminent(nextButton_);
    nextButton_->setDefault(true);
    connect(nextButton_, &QPushButton::clicked, this, &CreateSheet::next);
    buttons->addWidget(nextButton_);
    column->addLayout(buttons);

    applyDemo();
    refresh();
    resize(std::max(620, minimumSizeHint().width()), std::max(560, minimumSizeHint().height()));
}

CreateSheet::~CreateSheet() = default;

void CreateSheet::setDiskImage(std::shared_ptr<vaultkit::DiskImage> driver) {
    if (driver) driver_ = std::move(driver);
}

// ---------------------------------------------------------------- pages

QWidget* CreateSheet::buildLocation() {
    auto* page = new QWidget(this);
    auto* column = pageLayout(page);
    column->addWidget(SheetStyle::title(kx("create.locTitle"), page));
    column->addWidget(SheetStyle::body(kx("create.locBody"), page));

    nameField_ = new QLineEdit(kx("create.defaultName"), page);
    nameField_->setPlaceholderText(kx("create.name"));
    nameField_->setAccessibleName(kx("create.name"));
    nameField_->setMaximumWidth(SheetStyle::fieldWidth);
    connect(nameField_, &QLineEdit::textChanged, this, [this] {
        targetLabel_->setPath(target());
        refresh();
    });
    column->addWidget(nameField_);

    auto* parentRow = new QHBoxLayout;
    parentRow->setSpacing(8);
    auto* parentCaption = new QLabel(kx("create.parent"), page);
    KXStyle::setTone(parentCaption, KXStyle::Tone::secondary);
    parentLabel_ = new PathLabel(page);
    parentLabel_->setPath(parent_);
    chooseButton_ = new QPushButton(kx("create.choose"), page);
    chooseButton_->setAutoDefault(false);
    connect(chooseButton_, &QPushButton::clicked, this, &CreateSheet::chooseParent);
    parentRow->addWidget(parentCaption);
    parentRow->addWidget(parentLabel_, 1);
    parentRow->addWidget(chooseButton_);
    column->addLayout(parentRow);

    auto* targetRow = new QHBoxLayout;
    targetRow->setSpacing(8);
    auto* targetCaption = new QLabel(kx("create.folderWillBe"), page);
    targetLabel_ = new PathLabel(page);
    QFont bold = targetLabel_->font();
    bold.setWeight(QFont::DemiBold);
    targetLabel_->setFont(bold);
    targetLabel_->setPath(target());
    targetRow->addWidget(targetCaption);
    targetRow->addWidget(targetLabel_, 1);
    column->addLayout(targetRow);

    column->addWidget(SheetStyle::caption(kx("create.folderNote"), page));
    column->addStretch(1);
    return page;
}

QWidget* CreateSheet::buildPassword() {
    auto* page = new QWidget(this);
    auto* column = pageLayout(page);
    column->addWidget(SheetStyle::title(kx("create.pwTitle"), page));
    column->addWidget(SheetStyle::body(kx("create.pwBody"), page));
    passwordField_ = passwordLineEdit(kx("create.pw"), page);
    confirmField_ = passwordLineEdit(kx("create.pw2"), page);
    column->addWidget(passwordField_);
    column->addWidget(confirmField_);
    strength_ = new StrengthBar(page);
    column->addWidget(strength_);
    mismatch_ = SheetStyle::error(kx("create.pwMismatch"), page);
    mismatch_->setTextInteractionFlags(Qt::NoTextInteraction);
    column->addWidget(mismatch_);
    connect(passwordField_, &QLineEdit::textChanged, this, [this](const QString& text) {
        strength_->setPassword(text);
        refresh();
    });
    connect(confirmField_, &QLineEdit::textChanged, this, &CreateSheet::refresh);

    if (model_ ? model_->quickUnlock().touchIDAvailable() : vaultkit::QuickUnlockKey::isAvailable()) {
        touchIDToggle_ = new QCheckBox(kx("create.touchid"), page);
        touchIDToggle_->setChecked(useTouchID_);
        connect(touchIDToggle_, &QCheckBox::toggled, this, [this](bool on) { useTouchID_ = on; });
        column->addWidget(touchIDToggle_);
    } else {
        touchIDUnavailable_ = new QWidget(page);
        auto* row = new QHBoxLayout(touchIDUnavailable_);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(6);
        auto* symbol = new QLabel(touchIDUnavailable_);
        symbol->setPixmap(KXSymbol::pixmap(QStringLiteral("touchid"), 16, KXStyle::secondary(palette()),
                                           devicePixelRatioF()));
        auto* text = SheetStyle::calloutNote(kx("touchid.unavailable"), touchIDUnavailable_);
        row->addWidget(symbol);
        row->addWidget(text, 1);
        column->addWidget(touchIDUnavailable_);
    }
    column->addStretch(1);
    return page;
}

QWidget* CreateSheet::buildPhrase() {
    auto* page = new QWidget(this);
    auto* column = pageLayout(page);
    column->addWidget(SheetStyle::title(kx("create.mnTitle"), page));
    column->addWidget(SheetStyle::body(kx("create.mnBody"), page));
    grid_ = new MnemonicGrid(words(), page);
    column->addWidget(grid_);
    auto* row = new QHBoxLayout;
    wroteDown_ = new QCheckBox(kx("create.mnWrote"), page);
    connect(wroteDown_, &QCheckBox::toggled, this, &CreateSheet::refresh);
    printButton_ = new QPushButton(kx("print.button"), page);
    printButton_->setAutoDefault(false);
    connect(printButton_, &QPushButton::clicked, this, &CreateSheet::printPhrase);
    row->addWidget(wroteDown_);
    row->addStretch(1);
    row->addWidget(printButton_);
    column->addLayout(row);
    column->addStretch(1);
    return page;
}

QWidget* CreateSheet::buildQuiz() {
    auto* page = new QWidget(this);
    auto* column = pageLayout(page);
    column->addWidget(SheetStyle::title(kx("create.quizTitle"), page));
    column->addWidget(SheetStyle::body(kx("create.quizBody"), page));
    for (int i = 0; i < 3; ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        auto* label = new QLabel(page);
        label->setMinimumWidth(90);
        auto* field = new QLineEdit(page);
        field->setFixedWidth(200);
        field->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase | Qt::ImhPreferLowercase);
        label->setBuddy(field);
        auto* mark = new QLabel(page);
        mark->setFixedSize(18, 18);
        connect(field, &QLineEdit::textChanged, this, &CreateSheet::refresh);
        row->addWidget(label);
        row->addWidget(field);
        row->addWidget(mark);
        row->addStretch(1);
        column->addLayout(row);
        wordLabels_.append(label);
        answers_.append(field);
        marks_.append(mark);
    }
    column->addStretch(1);
    return page;
}

// ---------------------------------------------------------------- state

QString CreateSheet::name() const {
    return nameField_->text();
}

void CreateSheet::setParentFolder(const QString& folder) {
    parent_ = folder;
    parentLabel_->setPath(parent_);
    targetLabel_->setPath(target());
    refresh();
}

QString CreateSheet::target() const {
    const QString trimmed = trimSpacesAndTabs(name());
    if (parent_.endsWith(QLatin1Char('/'))) return parent_ + trimmed;
    return parent_ + QLatin1Char('/') + trimmed;
}

QStringList CreateSheet::words() const {
    QStringList out;
    for (const auto& w : mnemonic_.words())
        out << QString::fromStdString(w);
    return out;
}

QLineEdit* CreateSheet::answerField(int i) const {
    return answers_.value(i);
}

QLabel* CreateSheet::wordLabel(int i) const {
    return wordLabels_.value(i);
}

QLabel* CreateSheet::answerMark(int i) const {
    return marks_.value(i);
}

CreateSheet::Mark CreateSheet::answerMarkKind(int i) const {
    if (i < 0 || i >= static_cast<int>(quiz_.size())) return Mark::none;
    if (PasswordStrength::characters(answers_[i]->text()) < 3) return Mark::none;
    return correct(i) ? Mark::right : Mark::wrong;
}

QString CreateSheet::trimSpacesAndTabs(const QString& text) {
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype start = 0, end = text.size();
    while (start < end && blank(text[start]))
        ++start;
    while (end > start && blank(text[end - 1]))
        --end;
    return text.mid(start, end - start);
}

std::optional<int> CreateSheet::demoStep(const QString& demo) {
    if (!demo.startsWith(QLatin1String("create"))) return std::nullopt;
    const QString rest = demo.mid(6);
    if (rest.isEmpty() || rest.size() > 9) return std::nullopt;
    for (QChar c : rest)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    return std::clamp(rest.toInt(), 0, 3);
}

// ---------------------------------------------------------------- rules

bool CreateSheet::canNext() const {
    switch (step_) {
    case location: {
        // What the library refuses is refused here already, so a name never
        // fails only after the quiz: a leading "." (also after spaces), "/",
        // ":" and NUL.
        const QString typed = name();
        const QString trimmed = trimSpacesAndTabs(typed);
        return !trimmed.isEmpty() && !typed.startsWith(QLatin1Char('.')) &&
               !trimmed.startsWith(QLatin1Char('.')) && !typed.contains(QLatin1Char('/')) &&
               !typed.contains(QLatin1Char(':')) && !typed.contains(QChar(0));
    }
    case password:
        return PasswordStrength::characters(passwordField_->text()) >= 8 &&
               passwordField_->text() == confirmField_->text();
    case phrase:
        return wroteDown_->isChecked();
    default:
        for (int i = 0; i < static_cast<int>(quiz_.size()); ++i)
            if (!correct(i)) return false;
        return true;
    }
}

bool CreateSheet::correct(int i) const {
    if (i < 0 || i >= static_cast<int>(quiz_.size()) || i >= answers_.size()) return false;
    const auto all = mnemonic_.words();
    const int position = quiz_[static_cast<std::size_t>(i)];
    if (position < 0 || position >= static_cast<int>(all.size())) return false;
    return trimSpacesAndTabs(answers_[i]->text()).toLower() ==
           QString::fromStdString(all[static_cast<std::size_t>(position)]);
}

void CreateSheet::makeQuiz() {
    std::vector<int> positions(12);
    for (int i = 0; i < 12; ++i)
        positions[static_cast<std::size_t>(i)] = i;
    std::random_device device;
    std::mt19937 generator(device());
    std::shuffle(positions.begin(), positions.end(), generator);
    quiz_.assign(positions.begin(), positions.begin() + 3);
    std::sort(quiz_.begin(), quiz_.end());
    for (int i = 0; i < 3; ++i) {
        wordLabels_[i]->setText(kx("create.wordN", quiz_[static_cast<std::size_t>(i)] + 1));
        answers_[i]->setAccessibleName(wordLabels_[i]->text());
        answers_[i]->clear();
    }
    refresh();
}

void CreateSheet::next() {
    if (progress_ || !canNext()) return;
    setError(std::nullopt);
    switch (step_) {
    case location:
        if (vaultkit::Vault::targetIsUsable(fs::path(target().toStdString()))) {
            setStep(password);
        } else {
            setError(kx("create.notEmpty", PathLabel::abbreviate(target())));
        }
        break;
    case password: {
        std::string secret = passwordField_->text().toStdString();
        try {
            vaultkit::Vault::validate(secret);
            wipe(secret);
            setStep(phrase);
        } catch (const std::exception& e) {
            wipe(secret);
            setError(describe(e));
        }
        break;
    }
    case phrase:
        makeQuiz();
        setStep(quiz);
        break;
    default:
        create();
        break;
    }
}

void CreateSheet::back() {
    if (progress_ || step_ < 1) return;
    setError(std::nullopt);
    setStep(step_ - 1);
}

void CreateSheet::reject() {
    if (progress_) return; // creating: no cancel until it has ended
    if (step_ < phrase) {
        QDialog::reject();
        return;
    }
    if (discardAlert_) return; // already asking
    auto* alert = new QMessageBox(this);
    alert->setIcon(QMessageBox::Warning);
    alert->setText(kx("create.discardTitle"));
    alert->setInformativeText(kx("create.discardBody"));
    QPushButton* discard = alert->addButton(kx("create.discard"), QMessageBox::DestructiveRole);
    QPushButton* stay = alert->addButton(kx("create.continue"), QMessageBox::RejectRole);
    // the safe answer is the default and what Escape gives
    alert->setDefaultButton(stay);
    alert->setEscapeButton(stay);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPointer<CreateSheet> guard(this);
    connect(alert, &QMessageBox::buttonClicked, this, [guard, discard](QAbstractButton* clicked) {
        if (guard && clicked == discard && !guard->progress_) guard->QDialog::reject();
    });
    discardAlert_ = alert;
    alert->open();
}

// ---------------------------------------------------------------- actions

QFileDialog* CreateSheet::makeParentChooser() {
    auto* chooser = new QFileDialog(this);
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly, true);
    chooser->setAcceptMode(QFileDialog::AcceptOpen);
    chooser->setDirectory(parent_);
    chooser->setLabelText(QFileDialog::Accept, kx("create.choosePrompt"));
    chooser->setWindowModality(Qt::WindowModal);
    return chooser;
}

void CreateSheet::chooseParent() {
    std::unique_ptr<QFileDialog> chooser(makeParentChooser());
    if (chooser->exec() != QDialog::Accepted) return;
    const QStringList chosen = chooser->selectedFiles();
    if (!chosen.isEmpty() && !chosen.first().isEmpty()) setParentFolder(chosen.first());
}

void CreateSheet::printPhrase() {
    RecoveryPrint::print({trimSpacesAndTabs(name()), QDate::currentDate(), words()}, this);
}

void CreateSheet::create() {
    setProgress(kx("create.working"));
    QPointer<CreateSheet> guard(this);
    QPointer<AppModel> model = model_;
    const fs::path parentPath(parent_.toStdString());
    const std::string typedName = name().toStdString();
    const vaultkit::Mnemonic phraseCopy = mnemonic_;
    auto driver = driver_;
    auto secret = std::make_shared<std::string>(passwordField_->text().toStdString());
    // The library blocks while it runs the tools: off the GUI thread. Every
    // report comes back to the GUI thread, where the sheet may be gone.
    QThreadPool::globalInstance()->start([guard, model, parentPath, typedName, phraseCopy, driver, secret] {
        auto onGui = [](std::function<void()> call) {
            QMetaObject::invokeMethod(qApp, std::move(call), Qt::QueuedConnection);
        };
        std::shared_ptr<vaultkit::Vault> vault;
        std::exception_ptr error;
        try {
            vault = vaultkit::Vault::create(
                parentPath, typedName, *secret, phraseCopy,
                [guard, onGui](const std::string& key) {
                    onGui([guard, key] {
                        if (guard && guard->progress_) guard->setProgress(kx("create.stage." + key));
                    });
                },
                driver);
        } catch (...) {
            error = std::current_exception();
        }
        wipe(*secret);
        onGui([guard, model, vault, error] {
            if (guard) {
                if (vault)
                    guard->created(vault);
                else
                    guard->failed(error);
            } else if (vault && model) {
                // the window went away meanwhile: the new vault is not lost
                model->registerVault(vault);
            }
        });
    });
}

void CreateSheet::failed(const std::exception_ptr& error) {
    setProgress(std::nullopt);
    setError(describe(error));
    emit creationFinished(false);
}

void CreateSheet::created(const std::shared_ptr<vaultkit::Vault>& vault) {
    if (!model_) {
        setProgress(std::nullopt);
        emit creationFinished(true);
        QDialog::accept();
        return;
    }
    model_->registerVault(vault);
    // The folder-icon step: the mounted volume looks like an ordinary folder.
    model_->applyLook(vault);
    if (useTouchID_ && model_->quickUnlock().touchIDAvailable()) {
        QPointer<CreateSheet> guard(this);
        // a failure is reported by the model's own banner; the creation stands
        model_->enableTouchID(vault, passwordField_->text(), [guard, vault](bool) {
            if (guard) guard->finishSuccess(vault);
        });
        return;
    }
    finishSuccess(vault);
}

void CreateSheet::finishSuccess(const std::shared_ptr<vaultkit::Vault>& vault) {
    if (model_) {
        Banner created(kx("ok.created", vault->config().name));
        created.whileUnlocked = vault->config().id;
        model_->setMessage(std::move(created));
    }
    passwordField_->clear();
    confirmField_->clear();
    setProgress(std::nullopt);
    emit creationFinished(true);
    QDialog::accept();
}

// ---------------------------------------------------------------- view

void CreateSheet::applyDemo() {
    const auto demo = demoStep(qEnvironmentVariable("HC_DEMO"));
    if (!demo) return;
    passwordField_->setText(QString::fromLatin1(demoPassword));
    confirmField_->setText(QString::fromLatin1(demoPassword));
    wroteDown_->setChecked(true);
    makeQuiz();
    setStep(*demo);
}

void CreateSheet::setStep(int step) {
    step_ = step;
    pages_->setCurrentIndex(std::clamp(step_, 0, 3));
    steps_->setCurrent(step_);
    refresh();
    QWidget* first = nullptr;
    switch (step_) {
    case location:
        first = nameField_;
        break;
    case password:
        first = passwordField_;
        break;
    case phrase:
        first = wroteDown_;
        break;
    default:
        first = answers_.value(0);
        break;
    }
    if (first && isVisible()) first->setFocus();
}

void CreateSheet::setProgress(std::optional<QString> progress) {
    progress_ = std::move(progress);
    refresh();
}

void CreateSheet::setError(std::optional<QString> error) {
    error_ = std::move(error);
    errorLabel_->setText(error_.value_or(QString()));
    errorLabel_->setVisible(error_.has_value());
}

void CreateSheet::refresh() {
    const bool working = progress_.has_value();
    pages_->setEnabled(!working);
    cancelButton_->setEnabled(!working);
    spinner_->setVisible(working);
    progressLabel_->setVisible(working);
    progressLabel_->setText(progress_.value_or(QString()));
    backButton_->setVisible(step_ >= 1 && !working);
    nextButton_->setText(step_ == quiz ? kx("create.finish") : kx("create.next"));
    nextButton_->setEnabled(canNext() && !working);
    mismatch_->setVisible(!confirmField_->text().isEmpty() &&
                          confirmField_->text() != passwordField_->text());
    for (int i = 0; i < marks_.size(); ++i) {
        // the mark is said too: as its own name and as the field's description
        QString said;
        switch (answerMarkKind(i)) {
        case Mark::none:
            marks_[i]->clear();
            break;
        case Mark::right:
            marks_[i]->setPixmap(KXSymbol::pixmap(QStringLiteral("checkmark.circle.fill"), 18,
                                                  KXStyle::green(palette()), devicePixelRatioF()));
            said = kx("create.quizRight");
            break;
        case Mark::wrong:
            marks_[i]->setPixmap(KXSymbol::pixmap(QStringLiteral("xmark.circle"), 18, KXStyle::red(palette()),
                                                  devicePixelRatioF()));
            said = kx("create.quizWrong");
            break;
        }
        if (marks_[i]->accessibleName() != said) {
            marks_[i]->setAccessibleName(said);
            answers_[i]->setAccessibleDescription(said);
        }
    }
}
