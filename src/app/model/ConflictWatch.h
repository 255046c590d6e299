#pragma once

#include <QObject>
#include <QStringList>

#include <map>
#include <memory>

class AppModel;
namespace vaultkit {
class GocryptfsConflictWatcher;
class Vault;
} // namespace vaultkit

// While a vault is unlocked, a watcher on its encrypted folder gives the
// conflict copies sync clients leave a visible "(Conflict N)" name
// (GocryptfsConflicts), at unlock and whenever the folder changes; each time
// it does, a banner and a notice name the folders to look in. The model
// starts and stops the watchers with the mount states on every refresh tick.
class ConflictWatch : public QObject {
    Q_OBJECT
public:
    using VaultPtr = std::shared_ptr<vaultkit::Vault>;
    explicit ConflictWatch(AppModel& model);
    ~ConflictWatch() override;

    // One watcher for each unlocked vault whose volume can name conflicts;
    // the watchers of vaults no longer unlocked go.
    void watchConflicts();
    bool watchesConflicts(const VaultPtr& vault) const;
    // The conflict copies of an unlocked vault that the watcher had to leave
    // hidden, one line each (where, and why); empty when there are none.
    QStringList hiddenConflicts(const VaultPtr& vault) const;
    void setHiddenConflicts(const VaultPtr& vault, const QStringList& lines);

private:
    void conflictsFound(const VaultPtr& vault, const QStringList& folders);

    AppModel& model_;
    std::map<const vaultkit::Vault*, std::shared_ptr<vaultkit::GocryptfsConflictWatcher>> watchers_;
    std::map<const vaultkit::Vault*, QStringList> hidden_;
};
