#include "app/window/detail/UnlockCard.h"

#include "app/widgets/FieldError.h"
#include "app/widgets/PasswordField.h"
#include "app/widgets/WrappingRow.h"
#include "app/window/detail/CardParts.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

UnlockCard::UnlockCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : kxui::Card(parent)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("unlockCard"));
    // A vault whose daemon has gone: why it shows as locked though it was
    // unlocked, and what to do.
    staleNote_ = new QLabel(kx("stale.note"), this);
    staleNote_->setObjectName(QStringLiteral("staleNote"));
    staleNote_->setWordWrap(true);
    KXStyle::setFont(staleNote_, KXStyle::Text::callout);
    staleNote_->hide();
    // the card's full width, so the label can take the height its lines need
    content()->addWidget(staleNote_);

    auto* titleRow = cardparts::row(10);
    titleRow->addWidget(cardparts::title(kx("unlock.title"), this));
    forgot_ = new QPushButton(kx("unlock.forgot"), this);
    forgot_->setObjectName(QStringLiteral("forgotPassword"));
    KXStyle::makeLink(forgot_);
    connect(forgot_, &QPushButton::clicked, this, [this] { emit sheetRequested(PaneSheet::recover); });
    titleRow->addWidget(forgot_);
    titleRow->addStretch(1);
    content()->addLayout(titleRow);

    // the field and its buttons, one under the other when narrow
    auto* row = new WrappingRow(this, 8);
    passwordField_ = new PasswordField(kx("unlock.placeholder"), this);
    passwordField_->setObjectName(QStringLiteral("passwordField"));
    passwordField_->setMaximumWidth(cardparts::fieldWidth);
    passwordField_->setMinimumWidth(200);
    passwordField_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Return in the field reaches the pane's keyPressEvent (the field passes
    // it on)
    connect(passwordField_, &QLineEdit::textChanged, this,
            [this](const QString& text) { unlockButton_->setEnabled(!text.isEmpty()); });
    row->addWidget(passwordField_, 1);
    unlockButton_ = new QPushButton(kx("action.unlock"), this);
    unlockButton_->setObjectName(QStringLiteral("unlockButton"));
    KXStyle::makeProminent(unlockButton_);
    unlockButton_->setDefault(true);
    unlockButton_->setEnabled(false);
    connect(unlockButton_, &QPushButton::clicked, this, &UnlockCard::unlock);
    row->addWidget(unlockButton_);
    touchIDUnlock_ = new QPushButton(kx("action.touchid"), this);
    touchIDUnlock_->setObjectName(QStringLiteral("quickUnlockButton"));
    connect(touchIDUnlock_, &QPushButton::clicked, this, &UnlockCard::unlockWithTouchID);
    row->addWidget(touchIDUnlock_);
    content()->addWidget(row);

    // why the last attempt failed, under the field it is about; typing again
    // answers it
    unlockError_ = new FieldError(passwordField_, this);
    unlockError_->setObjectName(QStringLiteral("unlockError"));
    unlockError_->hide();
    connect(passwordField_, &QLineEdit::textEdited, unlockError_, &QLabel::hide);
    content()->addWidget(unlockError_);
    paintSymbols();
}

void UnlockCard::unlock() {
    const QString password = passwordField_->text();
    if (password.isEmpty() || !model_) return;
    QPointer<UnlockCard> self(this);
    attempt_.begin(model_);
    unlockError_->hide();
    model_->unlock(vault_, password, [self](bool ok) {
        if (!self) return;
        if (ok) {
            self->passwordField_->clear();
            return;
        }
        // the pane was disabled while it worked, which took the focus away:
        // back into the field, the wrong text selected, the reason under it
        const QString why = self->attempt_.take(self->model_);
        self->unlockError_->setText(why);
        self->unlockError_->setVisible(!why.isEmpty());
        emit self->unlockFailed();
    });
}

void UnlockCard::unlockWithTouchID() {
    if (model_) model_->unlockWithTouchID(vault_);
}

void UnlockCard::focusPassword() {
    passwordField_->setFocus(Qt::OtherFocusReason);
    passwordField_->selectAll();
}

void UnlockCard::showVault(const vaultkit::VaultConfig& config, bool stale) {
    staleNote_->setVisible(stale);
    unlockButton_->setEnabled(!passwordField_->text().isEmpty());
    touchIDUnlock_->setVisible(config.touchID.has_value());
}

void UnlockCard::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        paintSymbols();
    kxui::Card::changeEvent(event);
}

void UnlockCard::paintSymbols() {
    touchIDUnlock_->setIcon(
        KXSymbol::tinted(QStringLiteral("touchid"), palette().color(QPalette::ButtonText)));
}
