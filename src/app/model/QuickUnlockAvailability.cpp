#include "app/model/QuickUnlockAvailability.h"

#include "app/model/AppModel.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <thread>

QuickUnlockAvailability::QuickUnlockAvailability(AppModel& model)
    : model_(model) {
    // A TPM appearing or going (a module loaded, a device passed to a
    // virtual machine) changes the answer; /dev changes in bursts.
    devicesSettled_.setSingleShot(true);
    devicesSettled_.setInterval(1'000);
    connect(&devicesSettled_, &QTimer::timeout, this, &QuickUnlockAvailability::recheckTouchID);
    if (devices_.addPath(QStringLiteral("/dev")))
        connect(&devices_, &QFileSystemWatcher::directoryChanged, this, [this] { devicesSettled_.start(); });
    recheckTouchID();
}

void QuickUnlockAvailability::recheckTouchID() {
    if (asking_) {
        askAgain_ = true; // the answer on its way may be older than the event
        return;
    }
    asking_ = true;
    // A thread of its own, not the work queue: a question that hangs must
    // hold back neither the vaults' work nor the model's end.
    QPointer<QuickUnlockAvailability> self(this);
    std::thread([self] {
        const bool available = vaultkit::QuickUnlockKey::isAvailable();
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app,
            [self, available] {
                if (!self) return;
                self->asking_ = false;
                const bool changedAnswer = available != self->available_;
                self->available_ = available;
                if (self->askAgain_) {
                    self->askAgain_ = false;
                    self->recheckTouchID();
                }
                if (changedAnswer) self->model_.announce();
            },
            Qt::QueuedConnection);
    }).detach();
}

std::optional<bool> QuickUnlockAvailability::touchIDBootBinding(const VaultPtr& vault) {
    const auto touchID = vault->config().touchID;
    if (!touchID || touchID->handle.empty()) return std::nullopt;
    return vaultkit::QuickUnlockKey::bootStateBinding(touchID->handle);
}
