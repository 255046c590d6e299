#include "app/model/Notices.h"

#include "app/model/AppModel.h"
#include "kxcore/Log.h"
#include "vaultkit/vault/Vault.h"

#include <QGuiApplication>

Notices::Notices(AppModel& model)
    : model_(model) {}

Notices::~Notices() = default;

void Notices::setNotifier(std::unique_ptr<Notifier> notifier) {
    notifier_ = std::move(notifier);
    if (!notifier_) return;
    connect(notifier_.get(), &Notifier::activated, this, [this](const QString& tag) {
        const auto id = vaultkit::Uuid::parse(tag.toStdString());
        if (!id || !model_.vaultWithId(*id)) return; // the vault was forgotten since
        model_.setSelection(*id);
        emit noticeActivated();
    });
}

void Notices::postNotice(const VaultPtr& vault, const QString& text) {
    if (!vault) return;
    kxcore::Log::shared().info("notice about " + vault->name() + ": " + text.toStdString());
    if (!notifier_) return;
    notifier_->show(QString::fromStdString(vault->config().name), text,
                    QString::fromStdString(vault->config().id.text()));
}

bool Notices::windowActive() const {
    return windowActive_ ? windowActive_() : QGuiApplication::applicationState() == Qt::ApplicationActive;
}
