// AppModel: the vault's encrypted data itself. Checking it for damage, and
// making the conflict copies of sync clients visible while it is unlocked.
#include "app/model/AppModel.h"

#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/vault/Vault.h"

#include <QMetaObject>
#include <QPointer>

#include <openssl/crypto.h>

#include <set>

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

// The password as UTF-8, wiped when the last holder lets go.
std::shared_ptr<std::string> secretCopy(const QString& password) {
    QByteArray utf8 = password.toUtf8();
    auto secret = std::shared_ptr<std::string>(
        new std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())), [](std::string* s) {
            if (!s->empty()) OPENSSL_cleanse(s->data(), s->size());
            delete s;
        });
    if (!utf8.isEmpty()) OPENSSL_cleanse(utf8.data(), static_cast<std::size_t>(utf8.size()));
    return secret;
}

} // namespace

void AppModel::setDataCheck(std::optional<DataCheckReport> report) {
    dataCheck_ = std::move(report);
    announce();
}

void AppModel::checkData(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = secretCopy(password);
    auto result = std::make_shared<vaultkit::DiskImage::DataCheck>();
    run(
        vault, kx("work.checking"),
        [vault, secret, result] {
            *result = vault->checkData(*secret);
            logger().info(
                "data check of " + vault->name() + ": " +
                (result->whole() ? std::string("whole") : std::to_string(result->damagedCount) + " damaged"));
        },
        [this, vault, secret, result, done = std::move(done)](bool ok) mutable {
            secret.reset();
            if (ok) {
                QStringList damaged;
                for (const auto& p : result->damaged)
                    damaged << QString::fromStdString(p);
                DataCheckReport report(QString::fromStdString(vault->config().name), damaged,
                                       static_cast<int>(result->damagedCount));
                for (const auto& p : result->conflictCopies)
                    report.conflictCopies << QString::fromStdString(p);
                for (const auto& p : result->syncTemporaries)
                    report.syncTemporaries << QString::fromStdString(p);
                setDataCheck(std::move(report));
            }
            if (done) done(ok);
        });
}

bool AppModel::watchesConflicts(const VaultPtr& vault) const {
    return vault && conflictWatchers_.count(vault.get()) > 0;
}

void AppModel::watchConflicts() {
    std::set<const vaultkit::Vault*> keep;
    for (const auto& vault : vaults_) {
        if (!isUnlocked(vault)) continue;
        if (conflictWatchers_.count(vault.get())) {
            keep.insert(vault.get());
            continue;
        }
        try {
            const auto controlSocket = vault->conflictControlSocket();
            if (!controlSocket) continue;
            keep.insert(vault.get());
            const std::string name = vault->name();
            QPointer<AppModel> self(this);
            auto watcher = std::make_shared<vaultkit::GocryptfsConflictWatcher>(
                vault->image(), vault->mountPoint(), *controlSocket,
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
            conflictWatchers_[vault.get()] = std::move(watcher);
        } catch (const std::exception& e) {
            keep.insert(vault.get()); // what it showed stays until the next try
            logger().error("cannot watch " + vault->name() + " for conflict copies: " + e.what());
        }
    }
    for (auto it = conflictWatchers_.begin(); it != conflictWatchers_.end();)
        it = keep.count(it->first) ? std::next(it) : conflictWatchers_.erase(it);
    bool forgot = false;
    for (auto it = hiddenConflicts_.begin(); it != hiddenConflicts_.end();) {
        forgot = forgot || !keep.count(it->first);
        it = keep.count(it->first) ? std::next(it) : hiddenConflicts_.erase(it);
    }
    if (forgot) announce();
}

QStringList AppModel::hiddenConflicts(const VaultPtr& vault) const {
    const auto it = vault ? hiddenConflicts_.find(vault.get()) : hiddenConflicts_.end();
    return it == hiddenConflicts_.end() ? QStringList() : it->second;
}

void AppModel::setHiddenConflicts(const VaultPtr& vault, const QStringList& lines) {
    auto& known = hiddenConflicts_[vault.get()];
    if (known == lines) return;
    known = lines;
    announce();
}

void AppModel::conflictsFound(const VaultPtr& vault, const QStringList& folders) {
    QStringList shown;
    for (const auto& f : folders)
        shown << (f.isEmpty() ? kx("conflicts.top") : kx("conflicts.folder", f));
    const QString text =
        kx("conflicts.found", QString::fromStdString(vault->config().name), shown.join(QStringLiteral(", ")));
    setMessage(Banner(text));
    postNotice(vault, text);
}
