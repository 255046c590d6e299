#pragma once

#include "app/desktop/Notifier.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class AppModel;
namespace vaultkit {
class Vault;
}

// Notices about a vault outside the window, for background work the user
// must hear of while the window may be closed: the vault's name as the
// title, a localised text as the body. A click on one selects the vault and
// emits noticeActivated().
class Notices : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    explicit Notices(AppModel& model);
    ~Notices() override;

    // Where notices go (none: nowhere, the default). Takes it.
    void setNotifier(std::unique_ptr<Notifier> notifier);
    // Logs the notice and shows it; without a notifier only the log has it.
    void postNotice(const VaultPtr& vault, const QString& text);

    // Imports that took at least this long end with a notice when no window
    // of the application is active.
    static constexpr qint64 longImportMs = 10'000;
    void setLongImportMs(qint64 ms) { longImportMs_ = ms; }
    qint64 longImport() const { return longImportMs_; }
    // Whether a window of the application is active (default: the
    // application's state as the platform reports it).
    void setWindowActiveCheck(std::function<bool()> check) { windowActive_ = std::move(check); }
    bool windowActive() const;

signals:
    // The user clicked a notice about the selected vault: show the window.
    void noticeActivated();

private:
    AppModel& model_;
    std::unique_ptr<Notifier> notifier_;
    qint64 longImportMs_ = longImportMs;
    std::function<bool()> windowActive_;
};
