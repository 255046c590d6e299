#include "app/model/ConflictWatch.h"

#include "app/model/AppModel.h"
#include "app/model/Notices.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/vault/Vault.h"

#include <QMetaObject>
#include <QPointer>

#include <set>

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

} // namespace

ConflictWatch::ConflictWatch(AppModel& model)
    : model_(model) {}

ConflictWatch::~ConflictWatch() = default;

bool ConflictWatch::watchesConflicts(const VaultPtr& vault) const {
    return vault && watchers_.count(vault.get()) > 0;
}

void ConflictWatch::watchConflicts() {
    std::set<const vaultkit::Vault*> keep;
    for (const auto& vault : model_.vaults()) {
        if (!model_.isUnlocked(vault)) continue;
        if (watchers_.count(vault.get())) {
            keep.insert(vault.get());
            continue;
        }
        try {
            const auto controlSocket = vault->conflictControlSocket();
            if (!controlSocket) continue;
            keep.insert(vault.get());
            const std::string name = vault->name();
            QPointer<ConflictWatch> self(this);
            auto watcher = std::make_shared<vaultkit::GocryptfsConflictWatcher>(
                // where the volume is (outside the synced folder for some)
                vault->image(), vault->openFolder(), *controlSocket,
                [name](const std::string& line) { logger().info(name + ": " + line); },
                [self, vault](const vaultkit::GocryptfsConflicts::Result& r) {
                    QStringList folders;
                    for (const auto& f : r.folders)
                        folders << QString::fromStdString(f);
                    QStringList hidden;
                    for (const auto& h : r.hidden)
                        hidden << QString::fromStdString(h);
                    // a queued call to an object that is gone is dropped
                    QMetaObject::invokeMethod(
                        self.data(),
                        [self, vault, folders, hidden] {
                            if (!self) return;
                            self->setHiddenConflicts(vault, hidden);
                            if (!folders.isEmpty()) self->conflictsFound(vault, folders);
                        },
                        Qt::QueuedConnection);
                });
            watchers_[vault.get()] = std::move(watcher);
        } catch (const std::exception& e) {
            keep.insert(vault.get()); // what it showed stays until the next try
            logger().error("cannot watch " + vault->name() + " for conflict copies: " + e.what());
        }
    }
    for (auto it = watchers_.begin(); it != watchers_.end();)
        it = keep.count(it->first) ? std::next(it) : watchers_.erase(it);
    bool forgot = false;
    for (auto it = hidden_.begin(); it != hidden_.end();) {
        forgot = forgot || !keep.count(it->first);
        it = keep.count(it->first) ? std::next(it) : hidden_.erase(it);
    }
    if (forgot) model_.announce();
}

QStringList ConflictWatch::hiddenConflicts(const VaultPtr& vault) const {
    const auto it = vault ? hidden_.find(vault.get()) : hidden_.end();
    return it == hidden_.end() ? QStringList() : it->second;
}

void ConflictWatch::setHiddenConflicts(const VaultPtr& vault, const QStringList& lines) {
    auto& known = hidden_[vault.get()];
    if (known == lines) return;
    known = lines;
    model_.announce();
}

void ConflictWatch::conflictsFound(const VaultPtr& vault, const QStringList& folders) {
    QStringList shown;
    for (const auto& f : folders)
        shown << (f.isEmpty() ? kx("conflicts.top") : kx("conflicts.folder", f));
    const QString text =
        kx("conflicts.found", QString::fromStdString(vault->config().name), shown.join(QStringLiteral(", ")));
    model_.setMessage(Banner(text));
    model_.notices().postNotice(vault, text);
}
