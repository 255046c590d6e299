#include "app/window/VaultDetail.h"

#include "app/model/ConflictWatch.h"
#include "app/model/LoginUnlockController.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/detail/AutoLockCard.h"
#include "app/window/detail/DataCard.h"
#include "app/window/detail/HiddenConflictsNote.h"
#include "app/window/detail/LockedSecurityCard.h"
#include "app/window/detail/UnlockCard.h"
#include "app/window/detail/UnlockedSecurityCard.h"
#include "app/window/detail/VaultActions.h"
#include "app/window/detail/VaultHeader.h"
#include "app/window/detail/WorkingRow.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

using vaultkit::VaultConfig;

VaultDetail::VaultDetail(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : QWidget(parent)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("vaultDetail"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    // the pane, named after its vault
    scroll->setAccessibleName(QString::fromStdString(vault_->config().name));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    outer->addWidget(scroll);

    auto* page = new QWidget(scroll);
    page->setObjectName(QStringLiteral("vaultDetailPage"));
    page->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(page);
    // room below the last card, so it can be scrolled clear of the banner
    column->setContentsMargins(24, 24, 24, 24 + 56);
    column->setSpacing(16);
    column->setAlignment(Qt::AlignTop | Qt::AlignLeading);

    header_ = new VaultHeader(page);
    column->addWidget(header_);
    workingRow_ = new WorkingRow(page);
    column->addWidget(workingRow_);

    content_ = new QWidget(page);
    content_->setObjectName(QStringLiteral("vaultCards"));
    auto* cards = new QVBoxLayout(content_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(16);
    buildLockedCards(cards);
    buildUnlockedCards(cards);
    dataCard_ = new DataCard(model_, vault_, content_);
    connect(dataCard_, &DataCard::sheetRequested, this, &VaultDetail::openSheet);
    connect(dataCard_, &DataCard::forgetRequested, this, &VaultDetail::confirmForget);
    cards->addWidget(dataCard_);
    column->addWidget(content_);
    column->addStretch(1);
    scroll->setWidget(page);

    if (model_) connect(model_, &AppModel::changed, this, &VaultDetail::refresh);
    refresh();
}

VaultDetail::~VaultDetail() {
    // an open sheet belongs to this vault's pane: it goes with it
    if (sheetDialog_) sheetDialog_->close();
    if (forgetAlert_) forgetAlert_->deleteLater();
}

void VaultDetail::buildLockedCards(QVBoxLayout* column) {
    lockedCards_ = new QWidget(content_);
    lockedCards_->setObjectName(QStringLiteral("lockedCards"));
    auto* cards = new QVBoxLayout(lockedCards_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(16);
    unlockCard_ = new UnlockCard(model_, vault_, lockedCards_);
    connect(unlockCard_, &UnlockCard::sheetRequested, this, &VaultDetail::openSheet);
    connect(unlockCard_, &UnlockCard::unlockFailed, this, &VaultDetail::focusPassword);
    cards->addWidget(unlockCard_);
    lockedSecurity_ = new LockedSecurityCard(lockedCards_);
    connect(lockedSecurity_, &LockedSecurityCard::sheetRequested, this, &VaultDetail::openSheet);
    cards->addWidget(lockedSecurity_);
    column->addWidget(lockedCards_);
}

void VaultDetail::buildUnlockedCards(QVBoxLayout* column) {
    unlockedCards_ = new QWidget(content_);
    unlockedCards_->setObjectName(QStringLiteral("unlockedCards"));
    auto* cards = new QVBoxLayout(unlockedCards_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(16);
    actions_ = new VaultActions(model_, vault_, unlockedCards_);
    cards->addWidget(actions_);
    // dragging is the other way in, and nothing shows it until tried
    auto* dropHint = new QLabel(kx("import.dropHint"), unlockedCards_);
    dropHint->setObjectName(QStringLiteral("dropHint"));
    dropHint->setTextFormat(Qt::PlainText);
    dropHint->setWordWrap(true);
    KXStyle::setFont(dropHint, KXStyle::Text::caption);
    KXStyle::setTone(dropHint, KXStyle::Tone::secondary);
    cards->addWidget(dropHint);
    hiddenConflicts_ = new HiddenConflictsNote(unlockedCards_);
    cards->addWidget(hiddenConflicts_);
    autoLock_ = new AutoLockCard(model_, vault_, unlockedCards_);
    connect(autoLock_, &AutoLockCard::sheetRequested, this, &VaultDetail::openSheet);
    // once the automatic-locking record is saved, the pane shows it
    connect(autoLock_, &AutoLockCard::saved, this, &VaultDetail::refresh);
    cards->addWidget(autoLock_);
    unlockedSecurity_ = new UnlockedSecurityCard(model_, vault_, unlockedCards_);
    connect(unlockedSecurity_, &UnlockedSecurityCard::sheetRequested, this, &VaultDetail::openSheet);
    cards->addWidget(unlockedSecurity_);
    column->addWidget(unlockedCards_);
}

void VaultDetail::unlock() {
    unlockCard_->unlock();
}

void VaultDetail::focusPassword() {
    if (lockedCards_->isHidden() || !content_->isEnabled()) return;
    unlockCard_->focusPassword();
}

QMessageBox* VaultDetail::confirmForget() {
    if (forgetAlert_) return forgetAlert_;
    auto* alert = new QMessageBox(window());
    alert->setObjectName(QStringLiteral("forgetAlert"));
    alert->setIcon(QMessageBox::Warning);
    alert->setText(kx("forget.title", QString::fromStdString(vault_->config().name)));
    alert->setInformativeText(kx("forget.body"));
    QPushButton* confirm = alert->addButton(kx("forget.confirm"), QMessageBox::DestructiveRole);
    QPushButton* cancel = alert->addButton(kx("common.cancel"), QMessageBox::RejectRole);
    alert->setDefaultButton(confirm);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPointer<AppModel> model = model_;
    const AppModel::VaultPtr vault = vault_;
    connect(alert, &QMessageBox::buttonClicked, alert, [model, vault, confirm](QAbstractButton* clicked) {
        // forgetting replaces this pane, so only captured values are used
        if (clicked == confirm && model) model->forget(vault);
    });
    forgetAlert_ = alert;
    alert->open();
    return alert;
}

QDialog* VaultDetail::openSheet(Sheet which) {
    if (sheetDialog_ || !model_) return nullptr;
    QDialog* dialog = nullptr;
    QWidget* parent = window();
    QPointer<AppModel> model = model_;
    const AppModel::VaultPtr vault = vault_;
    switch (which) {
    case Sheet::recover:
        dialog = SheetPresenter::openRecover(model_, vault_, parent);
        break;
    case Sheet::changePassword:
        dialog = SheetPresenter::openChangePassword(model_, vault_, parent);
        break;
    case Sheet::loginUnlock: {
        QPointer<VaultDetail> self = this;
        dialog = SheetPresenter::openPasswordPrompt(
            kx("loginUnlock.enableTitle", QString::fromStdString(vault_->config().name)),
            kx("loginUnlock.enableNote"),
            [model, vault, self](const QString& password, std::function<void(bool)> done) {
                if (!model) {
                    done(false);
                    return;
                }
                model->loginUnlock().enableLoginUnlock(
                    vault, password, [done = std::move(done), self](bool ok) {
                        done(ok);
                        // Unlocking at login needs the application to start
                        // at login: while it does not, the one message is the
                        // offer, and the banner promises nothing.
                        if (ok && self && self->autoLock_->offerAutostart() && self->model_)
                            self->model_->setMessage(Banner(kx(
                                "loginUnlock.pending", QString::fromStdString(self->vault_->config().name))));
                    });
            },
            parent);
        break;
    }
    case Sheet::checkData:
        dialog = SheetPresenter::openPasswordPrompt(
            kx("check.title", QString::fromStdString(vault_->config().name)), kx("check.note"),
            [model, vault](const QString& password, std::function<void(bool)> done) {
                if (model)
                    model->checkData(vault, password, std::move(done));
                else
                    done(false);
            },
            parent);
        break;
    case Sheet::touchID:
    case Sheet::regenerate: {
        // Both ask for the password, then run one model action with it.
        using Action = void (AppModel::*)(const AppModel::VaultPtr&, const QString&, AppModel::Done);
        const bool touchID = which == Sheet::touchID;
        const Action action = touchID ? &AppModel::enableTouchID : &AppModel::regenerateMnemonic;
        dialog = SheetPresenter::openPasswordPrompt(
            kx(touchID ? "touchid.enableTitle" : "mnemonic.regenTitle"),
            kx(touchID ? "touchid.enableNote" : "mnemonic.regenNote"),
            [model, vault, action](const QString& password, std::function<void(bool)> done) {
                if (model)
                    (model.data()->*action)(vault, password, std::move(done));
                else
                    done(false);
            },
            parent);
        break;
    }
    }
    if (!dialog) return nullptr;
    // a prompt shows its action's error itself, not behind it in the banner
    if (auto* prompt = qobject_cast<PasswordPromptSheet*>(dialog)) prompt->showErrorsOf(model_);
    sheet_ = which;
    sheetDialog_ = dialog;
    connect(dialog, &QDialog::finished, this, [this] {
        sheet_.reset();
        sheetDialog_.clear();
    });
    return dialog;
}

void VaultDetail::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    if (qEnvironmentVariable("HC_DEMO") == QLatin1String("recover")) openSheet(Sheet::recover);
}

void VaultDetail::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && mods == Qt::NoModifier && !lockedCards_->isHidden() && content_->isEnabled()) {
        unlock();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void VaultDetail::refresh() {
    if (!model_) return;
    const VaultConfig config = vault_->config();
    const auto mountState = model_->mountState(vault_);
    const bool unlocked = mountState == vaultkit::DiskImage::MountState::mounted;
    const bool stale = mountState == vaultkit::DiskImage::MountState::stale;

    header_->showVault(QString::fromStdString(config.name),
                       QString::fromStdString(vault_->mountPoint().string()), unlocked, stale);
    const auto work = model_->working().find(config.id);
    const bool working = work != model_->working().end();
    const auto progress = model_->importProgress().find(config.id);
    workingRow_->showWork(working ? std::optional<QString>(work->second) : std::nullopt,
                          progress != model_->importProgress().end() ? std::optional<double>(progress->second)
                                                                     : std::nullopt);
    header_->setEnabled(!working);
    content_->setEnabled(!working);

    lockedCards_->setVisible(!unlocked);
    // the data card's rows change before the unlocked cards appear, so the
    // pane's next layout pass sees them as they stay
    dataCard_->showVault(unlocked);
    unlockedCards_->setVisible(unlocked);
    unlockCard_->showVault(config, stale);
    hiddenConflicts_->showConflicts(unlocked ? model_->conflicts().hiddenConflicts(vault_) : QStringList());
    autoLock_->showVault(config, unlocked);
    unlockedSecurity_->showVault(config);
}
