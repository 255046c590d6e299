#include "app/model/AppModel.h"

#include "app/desktop/FileBrowser.h"
#include "app/desktop/FolderLook.h"
#include "app/model/AutoLockController.h"
#include "app/model/ConflictWatch.h"
#include "app/model/LoginUnlockController.h"
#include "app/model/MountModes.h"
#include "app/model/Notices.h"
#include "app/model/QuickUnlockAvailability.h"
#include "app/model/SecretText.h"
#include "app/model/VaultWorkRunner.h"
#include "kxcore/Log.h"
#include "kxstrings/KXStrings.h"
#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/vault/VaultLocator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>

#include <filesystem>
#include <span>
#include <string>

namespace fs = std::filesystem;
using vaultkit::Uuid;
using vaultkit::Vault;
using vaultkit::VaultConfig;
using vaultkit::VaultError;
using vaultkit::Registry::standardized;

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

std::string secretBytes(const QString& text) {
    return secrettext::bytes(text);
}
using secrettext::WipeOnExit;

QString errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

} // namespace

AppModel::AppModel(const QString& supportDir, EventSources sources, QObject* parent)
    : QObject(parent)
    , supportDir_(supportDir) {
    Vault::setBackupDirectory(fs::path((supportDir_ + "/backups").toStdString()));
    Vault::setPreferencesDirectory(fs::path(supportDir_.toStdString()));
    // What the driver does on its own (a leftover file set aside) goes to the log.
    vaultkit::DiskImage::setNoticeSink([](const std::string& line) { logger().warn(line); });
    loadRegistry();
    if (!vaults_.empty()) selection_ = vaults_.front()->config().id;
    work_ = std::make_unique<VaultWorkRunner>(*this);
    notices_ = std::make_unique<Notices>(*this);
    mountModes_ = std::make_unique<MountModes>(*this);
    refreshTimer_.setInterval(refreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        bump();
        autoLock_->refreshSleepDelay();
        conflicts_->watchConflicts();
    });
    refreshTimer_.start();
    autoLock_ = std::make_unique<AutoLockController>(*this, *work_, std::move(sources));
    loginUnlock_ = std::make_unique<LoginUnlockController>(*this, *work_);
    conflicts_ = std::make_unique<ConflictWatch>(*this);
    quickUnlock_ = std::make_unique<QuickUnlockAvailability>(*this);
}

AppModel::~AppModel() {
    // A keyring prompt nobody answers, or a keyring that hangs, must not
    // hold up the end: its calls are withdrawn.
    loginUnlock_->cancel();
    // The jobs hold their vaults and post to this object; wait for them while
    // the object still exists (posted calls are dropped with it).
    work_->waitForDone();
}

const std::map<Uuid, QString>& AppModel::working() const {
    return work_->working();
}

QString AppModel::registryFile() const {
    return supportDir_ + "/" +
           QString::fromUtf8(vaultkit::Registry::fileName.data(),
                             static_cast<qsizetype>(vaultkit::Registry::fileName.size()));
}

void AppModel::announce() {
    if (message_ && message_->whileUnlocked) {
        const VaultPtr about = vaultWithId(*message_->whileUnlocked);
        if (!about || !isUnlocked(about)) message_.reset();
    }
    emit changed();
}

void AppModel::bump() {
    ++tick_;
    announce();
}

void AppModel::setSelection(std::optional<Uuid> id) {
    selection_ = id;
    announce();
}
void AppModel::setMessage(std::optional<Banner> banner) {
    message_ = std::move(banner);
    announce();
}
void AppModel::setBusyPrompt(std::optional<BusyPrompt> prompt) {
    busyPrompt_ = std::move(prompt);
    announce();
}
void AppModel::setImportResults(std::optional<ImportBatch> batch) {
    importResults_ = std::move(batch);
    announce();
}
void AppModel::setShownMnemonic(std::optional<ShownMnemonic> shown) {
    shownMnemonic_ = std::move(shown);
    announce();
}

bool AppModel::isUnlocked(const VaultPtr& vault) const {
    return vault && mountState(vault) == vaultkit::DiskImage::MountState::mounted;
}

vaultkit::DiskImage::MountState AppModel::mountState(const VaultPtr& vault) const {
    if (!vault) return vaultkit::DiskImage::MountState::notMounted;
    if (unlocked_.tick != tick_) {
        const auto states = Vault::mountStates(vaults_);
        unlocked_.tick = tick_;
        unlocked_.states.clear();
        for (std::size_t i = 0; i < vaults_.size(); ++i)
            unlocked_.states[vaults_[i].get()] = states[i];
    }
    const auto it = unlocked_.states.find(vault.get());
    return it != unlocked_.states.end() ? it->second : vault->mountState();
}

// ---- Registry ---------------------------------------------------------------

void AppModel::loadRegistry() {
    const fs::path file(registryFile().toStdString());
    const auto paths = vaultkit::Registry::read(file);
    if (!paths) {
        if (vaultkit::Registry::isUnreadable(file))
            logger().error("cannot read the vault list " + file.string() +
                           "; it is kept under another name when the list is next saved");
        return;
    }
    std::vector<VaultPtr> opened;
    for (const auto& path : *paths) {
        try {
            opened.push_back(Vault::open(fs::path(path)));
        } catch (const std::exception& e) {
            logger().error("cannot open vault at " + path + ": " + e.what());
        }
    }
    vaults_ = std::move(opened);
    dropUnlockedSnapshot();
}

void AppModel::saveRegistry() {
    std::vector<std::string> paths;
    for (const auto& v : vaults_)
        paths.push_back(v->dir().string());
    try {
        if (auto aside = vaultkit::Registry::write(fs::path(registryFile().toStdString()), paths))
            logger().warn("the unreadable vault list was kept as " + aside->string());
    } catch (...) {
        // A registry that cannot be written is not reported: the list in
        // memory stays as it is.
    }
}

void AppModel::registerVault(const VaultPtr& vault) {
    const std::string key = standardized(vault->dir());
    bool listed = false;
    for (const auto& v : vaults_)
        if (standardized(v->dir()) == key) listed = true;
    if (!listed) {
        vaults_.push_back(vault);
        dropUnlockedSnapshot();
        saveRegistry();
    }
    selection_ = vault->config().id;
    announce();
}

void AppModel::forget(const VaultPtr& vault) {
    loginUnlock_->dropStoredPassword(vault);
    // This computer's settings of the vault go with it (and the record of
    // its encrypted tree).
    vault->forgetThisComputersRecords();
    mountModes_->forget(vault.get());
    std::erase_if(vaults_, [&](const VaultPtr& v) { return v.get() == vault.get(); });
    dropUnlockedSnapshot();
    saveRegistry();
    selection_.reset();
    if (!vaults_.empty()) selection_ = vaults_.front()->config().id;
    announce();
}

void AppModel::addExisting(const QUrl& url) {
    try {
        auto vault = vaultkit::VaultLocator::open(fs::path(url.toLocalFile().toStdString()));
        registerVault(vault);
        applyLook(vault);
    } catch (const vaultkit::VaultLocator::NotAVault&) {
        setMessage(Banner(kx("err.notAVault"), true));
    } catch (const std::exception& e) {
        // a vault directory whose record does not open: its own error
        setMessage(Banner(describe(e), true));
    }
}

AppModel::VaultPtr AppModel::selected() const {
    if (!selection_) return nullptr;
    return vaultWithId(*selection_);
}

AppModel::VaultPtr AppModel::vaultWithId(const Uuid& id) const {
    for (const auto& v : vaults_)
        if (v->config().id == id) return v;
    return nullptr;
}

void AppModel::applyLook(const VaultPtr& vault) {
    // Drawn here (pixmaps belong to the GUI thread); the tool calls run on
    // the lane, after what runs there now.
    FolderLook::lockedIconFile();
    work_->submit(
        vault,
        [vault] {
            // The look puts files into the visible folder (and a vault just
            // added may have none yet): sync clients are kept out of it first.
            if (const auto error = MountModes::keepSyncClientsOut(*vault)) logger().error(*error);
            FolderLook::refresh(*vault);
        },
        [this, vault](std::exception_ptr) { mountModes_->dropCoverage(vault.get()); });
}

// ---- Actions --------------------------------------------------------------------

namespace {

// Why a vault just unlocked is open outside its synced folder, and where
// (nothing when it is open on its own folder). Asked on the vault's lane.
using ElsewhereLine = std::shared_ptr<std::optional<vaultkit::SyncExclusion::Line>>;
void noteElsewhere(const vaultkit::Vault& vault, const ElsewhereLine& line) {
    const auto open = vault.openFolder();
    if (open != vault.mountPoint())
        *line = vaultkit::SyncExclusion::elsewhere(vaultkit::SyncExclusion::inspect(vault.mountPoint()), open);
}
QString elsewhereText(const vaultkit::SyncExclusion::Line& line) {
    std::vector<KXFormat::Arg> args(line.args.begin(), line.args.end());
    return QString::fromStdString(KXStrings::text(line.key, std::span<const KXFormat::Arg>(args.data(), args.size())));
}

} // namespace

void AppModel::unlock(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = std::make_shared<std::string>(secretBytes(password));
    auto elsewhere = std::make_shared<std::optional<vaultkit::SyncExclusion::Line>>();
    work_->run(
        vault, kx("work.unlocking"),
        [vault, secret, elsewhere] {
            const WipeOnExit wiped{secret.get()};
            vault->unlock(*secret);
            noteElsewhere(*vault, elsewhere);
            FolderLook::applyUnlocked(*vault);
        },
        [this, elsewhere, done = std::move(done)](bool ok) {
            // the right password after a wrong one: the error no longer holds
            if (ok && message_ && message_->isError && message_->text == kx("err.wrongPassword")) {
                message_.reset();
                announce();
            }
            if (ok && *elsewhere) setMessage(Banner(elsewhereText(**elsewhere), false));
            if (done) done(ok);
        });
}

void AppModel::unlockWithTouchID(const VaultPtr& vault, Done done) {
    const QString reason = kx("touchid.reason", vault->config().name);
    auto elsewhere = std::make_shared<std::optional<vaultkit::SyncExclusion::Line>>();
    const quint64 serial = work_->run(
        vault, kx("work.unlocking"),
        [vault, elsewhere, reason = reason.toStdString()] {
            vault->unlockWithTouchID(reason);
            noteElsewhere(*vault, elsewhere);
            FolderLook::applyUnlocked(*vault);
        },
        [this, elsewhere, done = std::move(done)](bool ok) {
            if (ok && *elsewhere) setMessage(Banner(elsewhereText(**elsewhere), false));
            if (done) done(ok);
        });
    // The system's prompt shows only the installed action's own message, so
    // the window says what the prompt is for while it is up; the log keeps
    // the usual busy text.
    work_->setWorkText(vault->config().id, serial, reason);
    announce();
}

void AppModel::lock(const VaultPtr& vault, bool force, Done done) {
    FolderLook::lockedIconFile(); // drawn on the GUI thread
    work_->run(
        vault, kx("work.locking"),
        [vault, force] {
            vault->lock(force);
            FolderLook::applyLocked(*vault);
        },
        [done = std::move(done)](bool ok) {
            if (done) done(ok);
        });
}

void AppModel::changePassword(const VaultPtr& vault, const QString& oldPassword, const QString& newPassword,
                              Done done) {
    const bool wasUnlocked = isUnlocked(vault);
    auto change = [this, vault, oldPassword, newPassword, wasUnlocked, done]() {
        auto oldSecret = std::make_shared<std::string>(secretBytes(oldPassword));
        auto newSecret = std::make_shared<std::string>(secretBytes(newPassword));
        work_->run(
            vault, kx("work.changing"),
            [vault, oldSecret, newSecret] {
                const WipeOnExit wiped{oldSecret.get(), newSecret.get()};
                vault->changePassword(*oldSecret, *newSecret);
            },
            [this, vault, oldPassword, newPassword, wasUnlocked, done](bool changed) {
                if (changed) {
                    setMessage(Banner(kx("ok.passwordChanged"), false));
                    loginUnlock_->keepStoredPassword(vault, newPassword);
                }
                if (!wasUnlocked) {
                    if (done) done(changed);
                    return;
                }
                // The user gets the vault back open either way.
                unlock(vault, changed ? newPassword : oldPassword, [done, changed](bool) {
                    if (done) done(changed);
                });
            });
    };
    if (!wasUnlocked) {
        change();
        return;
    }
    // Checked before the vault is locked, so that a mistyped old password or
    // an unacceptable new one does not leave the vault locked.
    auto oldSecret = std::make_shared<std::string>(secretBytes(oldPassword));
    auto newSecret = std::make_shared<std::string>(secretBytes(newPassword));
    work_->run(
        vault, kx("work.locking"),
        [vault, oldSecret, newSecret] {
            const WipeOnExit wiped{oldSecret.get(), newSecret.get()};
            Vault::validate(*newSecret);
            vault->confirmWithImage(*oldSecret);
            vault->lock(false);
        },
        [this, vault, change, done](bool locked) {
            if (!locked) {
                if (done) done(false);
                return;
            }
            applyLook(vault);
            change();
        });
}

void AppModel::recover(const VaultPtr& vault, const QString& phrase, const QString& newPassword, Done done) {
    auto phraseBytes = std::make_shared<std::string>(secretBytes(phrase));
    auto secret = std::make_shared<std::string>(secretBytes(newPassword));
    work_->run(
        vault, kx("work.recovering"),
        [vault, phraseBytes, secret] {
            const WipeOnExit wiped{phraseBytes.get(), secret.get()};
            vault->recover(*phraseBytes, *secret);
        },
        [this, vault, newPassword, done = std::move(done)](bool ok) {
            if (ok) {
                if (isUnlocked(vault)) applyLook(vault);
                setMessage(Banner(kx("ok.recovered"), false));
                loginUnlock_->keepStoredPassword(vault, newPassword);
            }
            if (done) done(ok);
        });
}

void AppModel::enableTouchID(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = std::make_shared<std::string>(secretBytes(password));
    work_->run(
        vault, kx("work.touchid"),
        [vault, secret] {
            const WipeOnExit wiped{secret.get()};
            vault->enableTouchID(*secret);
        },
        [this, done = std::move(done)](bool ok) {
            quickUnlock_->recheckTouchID();
            if (ok) setMessage(Banner(kx("ok.touchidOn"), false));
            if (done) done(ok);
        });
}

void AppModel::regenerateMnemonic(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = std::make_shared<std::string>(secretBytes(password));
    auto made = std::make_shared<std::optional<vaultkit::Mnemonic>>();
    work_->run(
        vault, kx("work.mnemonic"),
        [vault, secret, made] {
            const WipeOnExit wiped{secret.get()};
            *made = vault->regenerateMnemonic(*secret);
        },
        [this, vault, made, done = std::move(done)](bool ok) {
            if (ok && *made)
                setShownMnemonic(ShownMnemonic(QString::fromStdString(vault->config().name), **made));
            made->reset();
            if (done) done(ok);
        });
}

void AppModel::importItems(const VaultPtr& vault, const QList<QUrl>& urls, Done done) {
    std::vector<fs::path> sources;
    for (const QUrl& url : urls)
        sources.emplace_back(url.toLocalFile().toStdString());
    if (const auto holding = vaultkit::Importer::sourceHoldingVault(sources, *vault)) {
        setMessage(Banner(kx("err.importContainsVault", holding->filename().string()), true));
        if (done) done(false);
        return;
    }
    const Uuid id = vault->config().id;
    auto results = std::make_shared<std::vector<vaultkit::Importer::Result>>();
    // The serial of this run's working entry, known once run() has begun it.
    auto serial = std::make_shared<quint64>(work_->nextSerial());
    importProgress_[id] = 0.0;
    QElapsedTimer clock;
    clock.start();
    work_->run(
        vault, kx("work.importing"),
        [this, vault, sources, results, serial, id, lane = VaultWorkRunner::laneOf(*vault)] {
            // Not while a pass locks the vault; a forced lock later stops the
            // import before its next item (see lockForPass).
            work_->whileImporting(lane, [&](const std::atomic<bool>& stop) {
                *results = vaultkit::Importer::copy(
                    sources, *vault,
                    [this, serial, id, &stop](const fs::path& source) {
                        if (stop) throw VaultError::io("the vault was locked during the import");
                        const QString name = QString::fromStdString(source.filename().string());
                        work_->post([this, serial, id, name] {
                            work_->setWorkText(id, *serial, kx("work.importingItem", name));
                            announce();
                        });
                    },
                    [this, id](double fraction) {
                        work_->post([this, id, fraction] {
                            auto it = importProgress_.find(id);
                            if (it != importProgress_.end() && fraction > it->second) {
                                it->second = fraction;
                                announce();
                            }
                        });
                    });
            });
        },
        [this, vault, id, results, clock, done = std::move(done)](bool ok) {
            importProgress_.erase(id);
            // The end of a long import is news for a user who is elsewhere.
            if (clock.elapsed() >= notices_->longImport() && !notices_->windowActive()) {
                const QString name = QString::fromStdString(vault->config().name);
                bool complete = ok;
                for (const auto& r : *results)
                    complete = complete && r.ok();
                notices_->postNotice(vault,
                                     complete ? kx("notice.importDone", name) : kx("notice.importProblems", name));
            }
            if (!results->empty())
                setImportResults(ImportBatch(std::move(*results)));
            else
                announce();
            if (done) done(ok);
        },
        VaultWorkQueue::Sharing::allowsUrgent);
}

void AppModel::disableTouchID(const VaultPtr& vault, Done done) {
    work_->submit(
        vault, [vault] { vault->disableTouchID(); },
        [this, done = std::move(done)](std::exception_ptr error) {
            if (error) {
                message_ = Banner(describe(error), true);
                logger().error("disable quick unlock failed: " + errorText(error));
            }
            quickUnlock_->recheckTouchID();
            announce();
            if (done) done(!error);
        });
}

void AppModel::setAutoLock(const VaultPtr& vault, const VaultConfig::AutoLock& autoLock, Done done) {
    work_->submit(
        vault, [vault, autoLock] { vault->setAutoLock(autoLock); },
        [this, done = std::move(done)](std::exception_ptr error) {
            if (error) {
                message_ = Banner(describe(error), true);
                logger().error("auto-lock setting failed: " + errorText(error));
            }
            announce();
            autoLock_->refreshSleepDelay();
            if (done) done(!error);
        });
}

void AppModel::trashOriginals(const std::vector<vaultkit::Importer::Result>& results, Done done) {
    QStringList paths;
    for (const auto& r : results)
        if (r.ok()) paths << QString::fromStdString(r.source.string());
    struct Outcome {
        int moved = 0;
        QStringList notMoved;
    };
    auto outcome = std::make_shared<Outcome>();
    // Renames into the Trash may take a moment on slow disks: off the GUI
    // thread, on a lane of its own.
    work_->submitOnLane(" trash", [this, paths, outcome, done = std::move(done)] {
        // Qt 6.4 falls back to "./files" in the working directory when the
        // home Trash's parent folder ($XDG_DATA_HOME) is missing: make it.
        const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (!dataHome.isEmpty()) QDir().mkpath(dataHome);
        for (const QString& p : paths) {
            QFile file(p);
            if (file.moveToTrash()) {
                ++outcome->moved;
                if (QFileInfo(file.fileName()).isRelative())
                    logger().warn("moved to an unexpected Trash: " +
                                  QFileInfo(file.fileName()).absoluteFilePath());
            } else {
                outcome->notMoved << p;
            }
        }
        work_->post([this, outcome, done] {
            for (const QString& p : outcome->notMoved)
                logger().error("cannot move to the Trash: " + p);
            QString text = kx("ok.trashed", outcome->moved);
            const bool failed = !outcome->notMoved.isEmpty();
            if (failed) {
                QStringList names;
                for (const QString& p : outcome->notMoved)
                    names << QFileInfo(p).fileName();
                // The items stay where they are; nothing is deleted.
                text += " " + kx("err.system", "trash", names.join(", "));
            }
            setMessage(Banner(text, failed));
            if (done) done(!failed);
        });
    });
    // The import summary closes at once, before the Trash has answered.
    setImportResults(std::nullopt);
}

void AppModel::openInFileManager(const VaultPtr& vault) {
    // where the files are: outside the synced folder for a vault opened there
    const QString mountPoint = QString::fromStdString(vault->openFolder().string());
    QPointer<AppModel> self(this);
    FileBrowser::openFolder(mountPoint, this, [self, mountPoint](bool opened) {
        // nothing on this desktop opens folders: said in the window, with
        // the folder's path so it can be opened by other means
        if (!opened && self) self->setMessage(Banner(kx("err.openFolder", mountPoint), true));
    });
}
