#include "app/window/detail/AutoLockCard.h"

#include "app/model/AutoLockController.h"
#include "app/model/LoginUnlockController.h"
#include "app/widgets/WrappingRow.h"
#include "app/window/detail/CardParts.h"
#include "kxcore/Autostart.h"
#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxui/GeneralSettings.h"
#include "kxui/KXAccess.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

using vaultkit::VaultConfig;

QString AutoLockCard::idleChoiceText(int minutes) {
    return minutes == 0 ? kx("autolock.never") : kx("autolock.minutes", minutes);
}

AutoLockCard::AutoLockCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : kxui::Card(parent)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("autoLockCard"));
    add(cardparts::title(kx("autolock.title"), this));
    sleepToggle_ = new QCheckBox(kx("autolock.sleep"), this);
    sleepToggle_->setObjectName(QStringLiteral("sleepLock"));
    add(sleepToggle_);
    // Said under the choice: nothing announces sleep here (logind does not
    // answer), so the choice is off and cannot be made.
    sleepUnavailable_ = cardparts::note(kx("autolock.sleepUnavailable"), this);
    sleepUnavailable_->setObjectName(QStringLiteral("sleepUnavailable"));
    sleepUnavailable_->hide();
    content()->addWidget(sleepUnavailable_);
    screenToggle_ = new QCheckBox(kx("autolock.screen"), this);
    screenToggle_->setObjectName(QStringLiteral("screenLock"));
    add(screenToggle_);

    auto* row = new WrappingRow(this, 10);
    auto* label = new QLabel(kx("autolock.idle"), this);
    row->addWidget(label);
    idlePicker_ = new QComboBox(this);
    idlePicker_->setObjectName(QStringLiteral("idlePicker"));
    // named by what it chooses, not by the value it shows
    KXAccess::nameComboBox(idlePicker_, label->text());
    for (int minutes : idleChoices)
        idlePicker_->addItem(idleChoiceText(minutes), minutes);
    idlePicker_->setMaximumWidth(cardparts::fieldWidth);
    label->setBuddy(idlePicker_);
    row->addWidget(idlePicker_);
    content()->addWidget(row);
    // Said beside the picker: no source of the session's idle time answers
    // on this desktop, so the choice has no effect here.
    idleUnavailable_ = cardparts::note(kx("autolock.idleUnavailable"), this);
    idleUnavailable_->setObjectName(QStringLiteral("idleUnavailable"));
    idleUnavailable_->hide();
    content()->addWidget(idleUnavailable_);

    quitToggle_ = new QCheckBox(kx("autolock.quit"), this);
    quitToggle_->setObjectName(QStringLiteral("quitLock"));
    add(quitToggle_);
    loginToggle_ = new QCheckBox(kx("loginUnlock.toggle"), this);
    loginToggle_->setObjectName(QStringLiteral("loginUnlock"));
    add(loginToggle_);
    // What the choice means, said where it is made; the card's full width,
    // so the label can take the height its lines need.
    content()->addWidget(cardparts::note(kx("loginUnlock.note"), this));
    bind();
}

void AutoLockCard::bind() {
    connect(sleepToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) write([on](VaultConfig::AutoLock& a) { a.onSleep = on; });
    });
    connect(screenToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) write([on](VaultConfig::AutoLock& a) { a.onScreenLock = on; });
    });
    connect(idlePicker_, &QComboBox::activated, this, [this](int index) {
        if (refreshing_ || index < 0) return;
        const int minutes = idlePicker_->itemData(index).toInt();
        write([minutes](VaultConfig::AutoLock& a) { a.idleMinutes = minutes; });
    });
    connect(quitToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) setLockOnQuit(on);
    });
    connect(loginToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (refreshing_ || !model_) return;
        if (on) {
            // The box shows the stored choice: it turns on once the
            // password has been checked and stored.
            {
                const QSignalBlocker block(loginToggle_);
                loginToggle_->setChecked(false);
            }
            emit sheetRequested(PaneSheet::loginUnlock);
        } else {
            model_->loginUnlock().disableLoginUnlock(vault_);
        }
    });
}

void AutoLockCard::showVault(const VaultConfig& config, bool unlocked) {
    if (!model_) return;
    refreshing_ = true;
    const VaultConfig::AutoLock autoLock = pending_ ? *pending_ : config.autoLock;
    // the stored choice stays; it is shown off while it cannot work here
    const bool sleepWorks = model_->autoLocking().sleepLockAvailable();
    sleepToggle_->setEnabled(sleepWorks);
    sleepToggle_->setChecked(sleepWorks && autoLock.onSleep);
    sleepUnavailable_->setVisible(!sleepWorks);
    screenToggle_->setChecked(autoLock.onScreenLock);
    showIdleMinutes(autoLock.idleMinutes);
    if (unlocked) model_->autoLocking().probeIdleTime();
    idleUnavailable_->setVisible(model_->autoLocking().idleTimeKnown() ==
                                 AutoLockController::IdleTime::unavailable);
    quitToggle_->setChecked(lockOnQuit());
    loginToggle_->setChecked(unlocked && model_->loginUnlock().unlocksAtLogin(vault_));
    refreshing_ = false;
}

void AutoLockCard::showIdleMinutes(int minutes) {
    // A value set elsewhere (hushcoffer-cli autolock --idle 1) that is not
    // one of the choices gets an entry of its own, in order, while it holds.
    for (int i = idlePicker_->count() - 1; i >= 0; --i) {
        const int value = idlePicker_->itemData(i).toInt();
        if (value != minutes && std::find(idleChoices.begin(), idleChoices.end(), value) == idleChoices.end())
            idlePicker_->removeItem(i);
    }
    int index = idlePicker_->findData(minutes);
    if (index < 0) {
        index = 0;
        while (index < idlePicker_->count() && idlePicker_->itemData(index).toInt() < minutes)
            ++index;
        idlePicker_->insertItem(index, idleChoiceText(minutes), minutes);
    }
    idlePicker_->setCurrentIndex(index);
}

void AutoLockCard::write(const std::function<void(VaultConfig::AutoLock&)>& change) {
    if (!model_) return;
    // the vault's current record with one field replaced, saved whole; while
    // an earlier change is still being saved, that change is the current one
    VaultConfig::AutoLock record = pending_ ? *pending_ : vault_->config().autoLock;
    change(record);
    pending_ = record;
    ++writes_;
    QPointer<AutoLockCard> self(this);
    model_->setAutoLock(vault_, record, [self](bool) {
        if (!self) return;
        if (--self->writes_ == 0) {
            self->pending_.reset();
            emit self->saved();
        }
    });
}

bool AutoLockCard::lockOnQuit() {
    return kxcore::Settings().lockOnQuit();
}

void AutoLockCard::setLockOnQuit(bool on) {
    kxcore::Settings().setLockOnQuit(on);
    if (model_) model_->bump();
}

QMessageBox* AutoLockCard::offerAutostart() {
    if (autostartOffer_) return autostartOffer_;
    if (QGuiApplication::desktopFileName().isEmpty()) return nullptr;
    const kxcore::Autostart autostart = kxui::GeneralSettings::autostart();
    if (autostart.isEnabled()) return nullptr;
    auto* alert = new QMessageBox(window());
    alert->setObjectName(QStringLiteral("autostartOffer"));
    alert->setIcon(QMessageBox::Question);
    alert->setText(kx("loginUnlock.autostartTitle"));
    alert->setInformativeText(kx("loginUnlock.autostartBody"));
    QPushButton* turnOn = alert->addButton(kx("loginUnlock.autostartOn"), QMessageBox::AcceptRole);
    QPushButton* later = alert->addButton(kx("loginUnlock.autostartLater"), QMessageBox::RejectRole);
    alert->setDefaultButton(turnOn);
    alert->setEscapeButton(later);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPointer<AppModel> model = model_;
    const QString name = QString::fromStdString(vault_->config().name);
    connect(alert, &QMessageBox::buttonClicked, alert, [turnOn, model, name](QAbstractButton* button) {
        if (button != turnOn) return;
        QString error;
        if (!kxui::GeneralSettings::autostart().setEnabled(true, &error)) {
            kxcore::Log::shared().error("start at login: " + error.toStdString());
            if (model) model->setMessage(Banner(kx("loginUnlock.autostartFailed", error), true));
            return;
        }
        // now it holds
        if (model) model->setMessage(Banner(kx("ok.loginUnlockOn", name)));
    });
    autostartOffer_ = alert;
    alert->open();
    return alert;
}
