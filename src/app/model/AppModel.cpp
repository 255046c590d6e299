#include "app/model/AppModel.h"

#include "app/desktop/FileBrowser.h"

#include "app/desktop/FolderLook.h"
#include "app/model/SecretText.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/keyring/Keyring.h"
#include "vaultkit/quickunlock/TouchIDKey.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"
#include "vaultkit/vault/VaultLocator.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QStandardPaths>

#include <openssl/crypto.h>

#include <filesystem>
#include <limits>
#include <string>
#include <thread>

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

// Whether a lock failed because the volume is in use (a program holds a
// file or a folder in it).
bool isInUse(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const VaultError& e) {
        return e.kind() == VaultError::Case::busy;
    } catch (...) {
    }
    return false;
}

// ["a", "b"]: the list as the log shows it.
QString bracketed(const QStringList& names) {
    QStringList quoted;
    for (const QString& n : names)
        quoted << "\"" + n + "\"";
    return "[" + quoted.join(", ") + "]";
}

QStringList toQStringList(const std::vector<std::string>& list) {
    QStringList out;
    for (const auto& s : list)
        out << QString::fromStdString(s);
    return out;
}

QString errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

const VaultError* asVaultError(const std::exception_ptr& error, std::optional<VaultError>& holder) {
    try {
        std::rethrow_exception(error);
    } catch (const VaultError& e) {
        holder = e;
        return &*holder;
    } catch (...) {
        return nullptr;
    }
}

std::string laneOf(const Vault& vault) {
    return standardized(vault.dir());
}

} // namespace

QString describe(const std::exception& error) {
    if (const auto* ke = dynamic_cast<const vaultkit::KeyringError*>(&error)) return describeKeyring(*ke);
    if (const auto* ve = dynamic_cast<const VaultError*>(&error)) {
        const std::vector<std::string> args = ve->args();
        std::vector<KXFormat::Arg> formatArgs;
        formatArgs.reserve(args.size());
        for (const auto& a : args)
            formatArgs.emplace_back(a);
        if (formatArgs.empty()) return QString::fromStdString(KXStrings::text(ve->key()));
        return QString::fromStdString(
            KXStrings::text(ve->key(), std::span<const KXFormat::Arg>(formatArgs.data(), formatArgs.size())));
    }
    return QString::fromUtf8(error.what());
}

QString describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describe(e);
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

std::string detailOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// ---------------------------------------------------------------------------

AppModel::Sources::Sources() = default;
AppModel::Sources::Sources(Sources&&) noexcept = default;
AppModel::Sources& AppModel::Sources::operator=(Sources&&) noexcept = default;
AppModel::Sources::~Sources() = default;

AppModel::AppModel(const QString& supportDir, Sources sources, QObject* parent)
    : QObject(parent)
    , supportDir_(supportDir)
    , sources_(std::move(sources))
    , queue_(std::make_unique<VaultWorkQueue>()) {
    Vault::setBackupDirectory(fs::path((supportDir_ + "/backups").toStdString()));
    Vault::setPreferencesDirectory(fs::path(supportDir_.toStdString()));
    // What the driver does on its own (a leftover file set aside) goes to the log.
    vaultkit::DiskImage::setNoticeSink([](const std::string& line) { logger().warn(line); });
    loadRegistry();
    if (!vaults_.empty()) selection_ = vaults_.front()->config().id;
    installSources();
    // A TPM appearing or going (a module loaded, a device passed to a
    // virtual machine) changes the answer; /dev changes in bursts.
    devicesSettled_.setSingleShot(true);
    devicesSettled_.setInterval(1'000);
    connect(&devicesSettled_, &QTimer::timeout, this, &AppModel::recheckTouchID);
    if (devices_.addPath(QStringLiteral("/dev")))
        connect(&devices_, &QFileSystemWatcher::directoryChanged, this, [this] { devicesSettled_.start(); });
    recheckTouchID();
}

AppModel::~AppModel() {
    // A keyring prompt nobody answers, or a keyring that hangs, must not
    // hold up the end: its calls are withdrawn.
    if (keyring_) keyring_->cancel();
    // The jobs hold their vaults and post to this object; wait for them while
    // the object still exists (posted calls are dropped with it).
    queue_->waitForDone();
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
    dropStoredPassword(vault);
    // This computer's settings of the vault go with it.
    try {
        if (auto prefs = Vault::preferences()) prefs->forget(vault->config().id.text());
    } catch (const std::exception& e) {
        logger().error("cannot remove the settings of the forgotten vault " + vault->name() + ": " +
                       e.what());
    }
    mountModes_.erase(vault.get());
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

// ---- Work on the vault lanes --------------------------------------------------

void AppModel::post(std::function<void()> guiCall) {
    QMetaObject::invokeMethod(this, std::move(guiCall), Qt::QueuedConnection);
}

void AppModel::submit(const VaultPtr& vault, Body body, std::function<void(std::exception_ptr)> then,
                      VaultWorkQueue::Sharing sharing) {
    queue_->submit(
        laneOf(*vault),
        [this, vault, body = std::move(body), then = std::move(then)]() mutable {
            std::exception_ptr error;
            try {
                body();
            } catch (...) {
                error = std::current_exception();
            }
            // Destroy the body (and any secret it captured) on the worker.
            body = nullptr;
            post([then = std::move(then), error] { then(error); });
        },
        sharing);
}

quint64 AppModel::beginWork(const Uuid& id, const QString& text) {
    const quint64 serial = nextSerial_++;
    workEntries_[id].push_back({serial, text});
    publishWork(id);
    return serial;
}

void AppModel::setWorkText(const Uuid& id, quint64 serial, const QString& text) {
    auto it = workEntries_.find(id);
    if (it == workEntries_.end()) return;
    for (auto& e : it->second)
        if (e.serial == serial) e.text = text;
    publishWork(id);
}

void AppModel::endWork(const Uuid& id, quint64 serial) {
    auto it = workEntries_.find(id);
    if (it == workEntries_.end()) return;
    std::erase_if(it->second, [&](const WorkEntry& e) { return e.serial == serial; });
    if (it->second.empty()) workEntries_.erase(it);
    publishWork(id);
}

void AppModel::publishWork(const Uuid& id) {
    // The text shown is that of the oldest operation of the vault: the one
    // its lane runs now.
    auto it = workEntries_.find(id);
    if (it == workEntries_.end())
        working_.erase(id);
    else
        working_[id] = it->second.front().text;
}

quint64 AppModel::run(const VaultPtr& vault, const QString& text, Body body, Done then,
                      VaultWorkQueue::Sharing sharing) {
    const Uuid id = vault->config().id;
    const quint64 serial = beginWork(id, text);
    announce();
    submit(
        vault, std::move(body),
        [this, vault, id, serial, text, then = std::move(then)](std::exception_ptr error) {
            bool ok = true;
            if (error) {
                ok = false;
                std::optional<VaultError> holder;
                const VaultError* ve = asVaultError(error, holder);
                if (ve && ve->kind() == VaultError::Case::busy) {
                    const QStringList names = toQStringList(ve->payload());
                    logger().info(text + " busy: " + bracketed(names));
                    busyPrompt_ = BusyPrompt(vault, names);
                } else {
                    message_ = Banner(describe(error), true);
                    logger().error(text + " failed: " + errorText(error));
                }
            }
            endWork(id, serial);
            ++tick_;
            announce();
            refreshSleepDelay();
            if (then) then(ok);
        },
        sharing);
    return serial;
}

void AppModel::unlockedLook(const VaultPtr& vault) {
    if (isUnlocked(vault)) applyLook(vault);
}

void AppModel::applyLook(const VaultPtr& vault) {
    // Drawn here (pixmaps belong to the GUI thread); the tool calls run on
    // the lane, after what runs there now.
    FolderLook::lockedIconFile();
    submit(
        vault,
        [vault] {
            // The look puts files into the visible folder (and a vault just
            // added may have none yet): sync clients are kept out of it first.
            if (const auto error = keepSyncClientsOut(*vault)) logger().error(*error);
            FolderLook::refresh(*vault);
        },
        [this, vault](std::exception_ptr) { syncCoverage_.erase(vault.get()); });
}

// ---- Actions --------------------------------------------------------------------

void AppModel::unlock(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = std::make_shared<std::string>(secretBytes(password));
    run(
        vault, kx("work.unlocking"),
        [vault, secret] {
            const WipeOnExit wiped{secret.get()};
            vault->unlock(*secret);
            FolderLook::applyUnlocked(*vault);
        },
        [this, done = std::move(done)](bool ok) {
            // the right password after a wrong one: the error no longer holds
            if (ok && message_ && message_->isError && message_->text == kx("err.wrongPassword")) {
                message_.reset();
                announce();
            }
            if (done) done(ok);
        });
}

void AppModel::unlockWithTouchID(const VaultPtr& vault, Done done) {
    const QString reason = kx("touchid.reason", vault->config().name);
    const quint64 serial = run(
        vault, kx("work.unlocking"),
        [vault, reason = reason.toStdString()] {
            vault->unlockWithTouchID(reason);
            FolderLook::applyUnlocked(*vault);
        },
        [done = std::move(done)](bool ok) {
            if (done) done(ok);
        });
    // The system's prompt shows only the installed action's own message, so
    // the window says what the prompt is for while it is up; the log keeps
    // the usual busy text.
    setWorkText(vault->config().id, serial, reason);
    announce();
}

void AppModel::lock(const VaultPtr& vault, bool force, Done done) {
    FolderLook::lockedIconFile(); // drawn on the GUI thread
    run(
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
        run(
            vault, kx("work.changing"),
            [vault, oldSecret, newSecret] {
                const WipeOnExit wiped{oldSecret.get(), newSecret.get()};
                vault->changePassword(*oldSecret, *newSecret);
            },
            [this, vault, oldPassword, newPassword, wasUnlocked, done](bool changed) {
                if (changed) {
                    setMessage(Banner(kx("ok.passwordChanged"), false));
                    keepStoredPassword(vault, newPassword);
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
    run(
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
    run(
        vault, kx("work.recovering"),
        [vault, phraseBytes, secret] {
            const WipeOnExit wiped{phraseBytes.get(), secret.get()};
            vault->recover(*phraseBytes, *secret);
        },
        [this, vault, newPassword, done = std::move(done)](bool ok) {
            if (ok) {
                unlockedLook(vault);
                setMessage(Banner(kx("ok.recovered"), false));
                keepStoredPassword(vault, newPassword);
            }
            if (done) done(ok);
        });
}

void AppModel::enableTouchID(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = std::make_shared<std::string>(secretBytes(password));
    run(
        vault, kx("work.touchid"),
        [vault, secret] {
            const WipeOnExit wiped{secret.get()};
            vault->enableTouchID(*secret);
        },
        [this, done = std::move(done)](bool ok) {
            recheckTouchID();
            if (ok) setMessage(Banner(kx("ok.touchidOn"), false));
            if (done) done(ok);
        });
}

void AppModel::regenerateMnemonic(const VaultPtr& vault, const QString& password, Done done) {
    auto secret = std::make_shared<std::string>(secretBytes(password));
    auto made = std::make_shared<std::optional<vaultkit::Mnemonic>>();
    run(
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
    auto serial = std::make_shared<quint64>(nextSerial_);
    importProgress_[id] = 0.0;
    QElapsedTimer clock;
    clock.start();
    run(
        vault, kx("work.importing"),
        [this, vault, sources, results, serial, id, guard = importGuard_, lane = laneOf(*vault)] {
            // Not while a pass locks the vault; a forced lock later stops the
            // import before its next item (see lockForPass).
            auto stop = std::make_shared<std::atomic<bool>>(false);
            {
                std::unique_lock lock(guard->mutex);
                guard->changed.wait(lock, [&] { return !guard->lanes[lane].locking; });
                guard->lanes[lane].importing = true;
                guard->lanes[lane].stop = stop;
            }
            const struct Leave {
                std::shared_ptr<ImportGuard> guard;
                std::string lane;
                ~Leave() {
                    std::lock_guard lock(guard->mutex);
                    auto& state = guard->lanes[lane];
                    state.importing = false;
                    state.stop.reset();
                    if (!state.locking) guard->lanes.erase(lane);
                    guard->changed.notify_all();
                }
            } leave{guard, lane};
            *results = vaultkit::Importer::copy(
                sources, *vault,
                [this, serial, id, stop](const fs::path& source) {
                    if (*stop) throw VaultError::io("the vault was locked during the import");
                    const QString name = QString::fromStdString(source.filename().string());
                    post([this, serial, id, name] {
                        setWorkText(id, *serial, kx("work.importingItem", name));
                        announce();
                    });
                },
                [this, id](double fraction) {
                    post([this, id, fraction] {
                        auto it = importProgress_.find(id);
                        if (it != importProgress_.end() && fraction > it->second) {
                            it->second = fraction;
                            announce();
                        }
                    });
                });
        },
        [this, vault, id, results, clock, done = std::move(done)](bool ok) {
            importProgress_.erase(id);
            // The end of a long import is news for a user who is elsewhere.
            const bool windowActive = windowActive_
                                          ? windowActive_()
                                          : QGuiApplication::applicationState() == Qt::ApplicationActive;
            if (clock.elapsed() >= longImportMs_ && !windowActive) {
                const QString name = QString::fromStdString(vault->config().name);
                bool complete = ok;
                for (const auto& r : *results)
                    complete = complete && r.ok();
                postNotice(vault,
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
    submit(
        vault, [vault] { vault->disableTouchID(); },
        [this, done = std::move(done)](std::exception_ptr error) {
            if (error) {
                message_ = Banner(describe(error), true);
                logger().error("disable quick unlock failed: " + errorText(error));
            }
            recheckTouchID();
            announce();
            if (done) done(!error);
        });
}

void AppModel::setAutoLock(const VaultPtr& vault, const VaultConfig::AutoLock& autoLock, Done done) {
    submit(
        vault, [vault, autoLock] { vault->setAutoLock(autoLock); },
        [this, done = std::move(done)](std::exception_ptr error) {
            if (error) {
                message_ = Banner(describe(error), true);
                logger().error("auto-lock setting failed: " + errorText(error));
            }
            announce();
            refreshSleepDelay();
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
    queue_->submit(" trash", [this, paths, outcome, done = std::move(done)] {
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
        post([this, outcome, done] {
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

void AppModel::openInFinder(const VaultPtr& vault) {
    const QString mountPoint = QString::fromStdString(vault->mountPoint().string());
    QPointer<AppModel> self(this);
    FileBrowser::openFolder(mountPoint, this, [self, mountPoint](bool opened) {
        // nothing on this desktop opens folders: said in the window, with
        // the folder's path so it can be opened by other means
        if (!opened && self) self->setMessage(Banner(kx("err.openFolder", mountPoint), true));
    });
}

// ---- Quick unlock's availability ------------------------------------------------------

void AppModel::recheckTouchID() {
    if (touchIDAsking_) {
        touchIDAskAgain_ = true; // the answer on its way may be older than the event
        return;
    }
    touchIDAsking_ = true;
    // A thread of its own, not the work queue: a question that hangs must
    // hold back neither the vaults' work nor the model's end.
    QPointer<AppModel> self(this);
    std::thread([self] {
        const bool available = vaultkit::TouchIDKey::isAvailable();
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app,
            [self, available] {
                if (!self) return;
                self->touchIDAsking_ = false;
                const bool changedAnswer = available != self->touchIDAvailable_;
                self->touchIDAvailable_ = available;
                if (self->touchIDAskAgain_) {
                    self->touchIDAskAgain_ = false;
                    self->recheckTouchID();
                }
                if (changedAnswer) self->announce();
            },
            Qt::QueuedConnection);
    }).detach();
}

// ---- Notices on the desktop ---------------------------------------------------------

void AppModel::setNotifier(std::unique_ptr<Notifier> notifier) {
    notifier_ = std::move(notifier);
    if (!notifier_) return;
    connect(notifier_.get(), &Notifier::activated, this, [this](const QString& tag) {
        const auto id = Uuid::parse(tag.toStdString());
        if (!id || !vaultWithId(*id)) return; // the vault was forgotten since
        setSelection(*id);
        emit noticeActivated();
    });
}

void AppModel::postNotice(const VaultPtr& vault, const QString& text) {
    if (!vault) return;
    logger().info("notice about " + vault->name() + ": " + text.toStdString());
    if (!notifier_) return;
    notifier_->show(QString::fromStdString(vault->config().name), text,
                    QString::fromStdString(vault->config().id.text()));
}

// ---- Automatic locking ------------------------------------------------------------

bool AppModel::idleQualifies(const VaultConfig::AutoLock& autoLock, double idleSeconds) {
    const std::int64_t minutes = autoLock.idleMinutes;
    if (minutes < 1) return false;
    // A limit whose seconds do not fit 64 bits is beyond any idle time: never.
    if (minutes > std::numeric_limits<std::int64_t>::max() / 60) return false;
    return idleSeconds >= static_cast<double>(minutes * 60);
}

bool AppModel::wantsSleepDelay() const {
    for (const auto& v : vaults_)
        if (v->config().autoLock.onSleep && isUnlocked(v)) return true;
    return false;
}

void AppModel::refreshSleepDelay() {
    if (sources_.sleep && !sleepPassRunning_) sources_.sleep->setDelayWanted(wantsSleepDelay());
}

void AppModel::installSources() {
    refreshTimer_.setInterval(refreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        bump();
        refreshSleepDelay();
        watchConflicts();
    });
    refreshTimer_.start();
    idleTimer_.setInterval(idleCheckIntervalMs);
    connect(&idleTimer_, &QTimer::timeout, this, &AppModel::checkIdle);
    idleTimer_.start();
    autoLockRetryTimer_.setInterval(autoLockRetryIntervalMs);
    connect(&autoLockRetryTimer_, &QTimer::timeout, this, &AppModel::retryAutoLocks);

    if (sources_.sleep) {
        connect(sources_.sleep.get(), &SleepSource::aboutToSleep, this, &AppModel::startSleepPass);
        connect(sources_.sleep.get(), &SleepSource::reachableChanged, this, &AppModel::announce);
        sleepPassLimit_.setSingleShot(true);
        connect(&sleepPassLimit_, &QTimer::timeout, this, [this] {
            if (!sleepPassRunning_) return;
            // The system sleeps anyway once its delay is over: let it go now,
            // and let the next event have a pass of its own. The late pass
            // still reports its outcome.
            logger().warn("the lock pass before sleep did not end in time: the computer may sleep with "
                          "vaults unlocked");
            sleepPassRunning_ = false;
            sources_.sleep->sleepPassDone();
            refreshSleepDelay();
        });
        refreshSleepDelay();
    }
    for (const auto& source : sources_.screenLocks) {
        connect(source.get(), &ScreenLockSource::screenLocked, this, [this, name = source->name()] {
            if (!screenLocked_) screenLockedFor_.start();
            screenLocked_ = true;
            if (screenPassRunning_) return; // one lock seen by several sources
            screenPassRunning_ = true;
            logger().info("screen locked (" + name + ")");
            autoLock([](const VaultConfig::AutoLock& a) { return a.onScreenLock; },
                     [this] { screenPassRunning_ = false; }, AutoLockTrigger::screenLock);
        });
        connect(source.get(), &ScreenLockSource::screenUnlocked, this, [this, name = source->name()] {
            if (screenLocked_) logger().info("screen unlocked (" + name + ")");
            screenLocked_ = false;
        });
    }
    if (sources_.idle.empty()) {
        logger().info("no source of the session's idle time: locking after idle minutes is off");
        idleOffLogged_ = true;
        idleTime_ = IdleTime::unavailable;
    }
}

void AppModel::probeIdleTime() {
    if (idleTime_ != IdleTime::unknown || idleProbing_ || sources_.idle.empty()) return;
    idleProbing_ = true;
    askIdle(0, [this](std::optional<double> seconds) {
        idleProbing_ = false;
        setIdleTime(seconds ? IdleTime::available : IdleTime::unavailable);
    });
}

void AppModel::setIdleTime(IdleTime known) {
    if (idleTime_ == known) return;
    idleTime_ = known;
    announce();
}

void AppModel::startSleepPass() {
    if (sleepPassRunning_) return; // the running pass covers this event
    sleepPassRunning_ = true;
    const quint64 serial = ++sleepPassSerial_;
    logger().info("the computer is about to sleep: locking vaults that lock on sleep");
    sleepPassLimit_.start(sources_.sleep->passTimeLimitMs());
    autoLock([](const VaultConfig::AutoLock& a) { return a.onSleep; },
             [this, serial] {
                 // A pass past its time limit was let go already.
                 if (serial != sleepPassSerial_ || !sleepPassRunning_) return;
                 sleepPassLimit_.stop();
                 sleepPassRunning_ = false;
                 // Let the machine sleep now; the delay is taken again after
                 // resume.
                 sources_.sleep->sleepPassDone();
             });
}

void AppModel::askIdle(std::size_t from, std::function<void(std::optional<double>)> answer) {
    if (from >= sources_.idle.size()) {
        answer(std::nullopt);
        return;
    }
    QPointer<AppModel> self(this);
    sources_.idle[from]->idleSeconds([self, this, from, answer](std::optional<double> seconds) {
        if (!self) return;
        if (seconds) {
            if (idleSourceInUse_ != from) logger().info("idle time from " + sources_.idle[from]->name());
            idleSourceInUse_ = from;
            answer(seconds);
            return;
        }
        askIdle(from + 1, answer);
    });
}

void AppModel::checkIdle() {
    if (idleCheckRunning_) return;
    // Nothing to ask when no unlocked vault has an idle limit.
    bool anyLimit = false;
    for (const auto& v : vaults_)
        if (v->config().autoLock.idleMinutes >= 1 && isUnlocked(v)) anyLimit = true;
    if (!anyLimit || sources_.idle.empty()) return;
    idleCheckRunning_ = true;
    // The source that answered last is asked first.
    const std::size_t first = idleSourceInUse_.value_or(0);
    auto finish = [this](std::optional<double> seconds) {
        idleCheckRunning_ = false;
        setIdleTime(seconds ? IdleTime::available : IdleTime::unavailable);
        if (!seconds) {
            if (!idleOffLogged_) {
                logger().warn(
                    "no source of the session's idle time answers: locking after idle minutes is off");
                idleOffLogged_ = true;
            }
            idleSourceInUse_.reset();
            return;
        }
        idleOffLogged_ = false;
        runIdlePass(*seconds);
    };
    if (first == 0) {
        askIdle(0, finish);
        return;
    }
    QPointer<AppModel> self(this);
    sources_.idle[first]->idleSeconds([self, this, finish](std::optional<double> seconds) {
        if (!self) return;
        if (seconds) {
            finish(seconds);
            return;
        }
        idleSourceInUse_.reset();
        askIdle(0, finish);
    });
}

void AppModel::runIdlePass(double idleSeconds) {
    bool any = false;
    const auto unlocked = Vault::unlockedStates(vaults_);
    for (std::size_t i = 0; i < vaults_.size(); ++i)
        if (unlocked[i] && idleQualifies(vaults_[i]->config().autoLock, idleSeconds)) any = true;
    if (!any) return;
    autoLock([idleSeconds](const VaultConfig::AutoLock& a) { return idleQualifies(a, idleSeconds); }, {},
             AutoLockTrigger::idle);
}

void AppModel::lockForPass(const VaultPtr& vault, bool force,
                           std::function<void(LockOutcome, std::exception_ptr)> then) {
    queue_->submitUrgent(laneOf(*vault), [this, vault, force, then = std::move(then), guard = importGuard_,
                                          lane = laneOf(*vault)] {
        bool wasLocked = false;
        std::exception_ptr error;
        bool importing = false;
        {
            std::lock_guard lock(guard->mutex);
            auto& state = guard->lanes[lane];
            state.locking = true;
            importing = state.importing;
            // Before the volume goes: no further item is started.
            if (importing && force && state.stop) *state.stop = true;
        }
        try {
            // Asked when tried: a user operation or another pass may have
            // locked it meanwhile.
            if (!vault->isUnlocked()) {
                wasLocked = true;
            } else if (importing && !force) {
                // The copier uses the volume even between two files.
                auto names = vault->busyProcesses();
                const std::string copier = fs::path(vaultkit::Importer::copyTool).filename().string();
                if (std::find(names.begin(), names.end(), copier) == names.end())
                    names.insert(names.begin(), copier);
                throw VaultError::busy(std::move(names));
            } else {
                vault->lock(force);
            }
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(guard->mutex);
            auto it = guard->lanes.find(lane);
            if (it != guard->lanes.end()) {
                it->second.locking = false;
                if (!it->second.importing) guard->lanes.erase(it);
            }
            guard->changed.notify_all();
        }
        post([then, wasLocked, error] {
            if (error)
                then(LockOutcome::failed, error);
            else
                then(wasLocked ? LockOutcome::wasLocked : LockOutcome::locked, nullptr);
        });
    });
}

std::optional<bool> AppModel::touchIDBootBinding(const VaultPtr& vault) const {
    const auto touchID = vault->config().touchID;
    if (!touchID || touchID->handle.empty()) return std::nullopt;
    return vaultkit::TouchIDKey::bootStateBinding(touchID->handle);
}

void AppModel::setAutoLockRetryInterval(int milliseconds) {
    autoLockRetryTimer_.setInterval(milliseconds);
}

bool AppModel::retryingAutoLock(const VaultPtr& vault) const {
    return autoLockRetries_.count(vault->config().id) > 0;
}

void AppModel::retryAutoLocks() {
    if (autoLockRetrying_) return; // the round before is still under way
    if (autoLockRetries_.empty()) {
        autoLockRetryTimer_.stop();
        return;
    }
    autoLockRetrying_ = true;
    // one vault after the other, from a snapshot: entries go during the round
    auto round = std::make_shared<std::vector<AutoLockRetry>>();
    for (const auto& entry : autoLockRetries_)
        round->push_back(entry.second);
    // each step holds the next one until it has run; the step holds itself
    // only weakly, so the chain is gone once the round ends
    auto step = std::make_shared<std::function<void(std::size_t)>>();
    std::weak_ptr<std::function<void(std::size_t)>> weakStep = step;
    QPointer<AppModel> self(this);
    *step = [self, round, weakStep](std::size_t i) {
        if (!self) return;
        if (i >= round->size()) {
            self->autoLockRetrying_ = false;
            if (self->autoLockRetries_.empty()) self->autoLockRetryTimer_.stop();
            return;
        }
        auto again = weakStep.lock();
        self->retryAutoLock((*round)[i], [again, i] {
            if (again) (*again)(i + 1);
        });
    };
    (*step)(0);
}

void AppModel::retryAutoLock(const AutoLockRetry& retry, std::function<void()> next) {
    const VaultPtr vault = retry.vault;
    const vaultkit::Uuid id = vault->config().id;
    const std::string name = vault->name();
    auto stop = [this, id, name, next](const std::string& why) {
        if (autoLockRetries_.erase(id) > 0) logger().info("no more tries to lock " + name + " automatically: " + why);
        next();
    };
    if (std::find(vaults_.begin(), vaults_.end(), vault) == vaults_.end()) {
        stop("it is no longer in the list");
        return;
    }
    auto attempt = [this, vault, id, name, next] {
        lockForPass(vault, false, [this, vault, id, name, next](LockOutcome outcome, std::exception_ptr error) {
            if (outcome == LockOutcome::locked) {
                autoLockRetries_.erase(id);
                applyLook(vault);
                logger().info("auto-locked " + name + " on a later try");
                const QString text = kx("ok.autoLockedLater", vault->config().name);
                setMessage(Banner(text, false));
                postNotice(vault, text);
            } else if (outcome == LockOutcome::wasLocked) {
                autoLockRetries_.erase(id);
            } else if (!isInUse(error)) {
                autoLockRetries_.erase(id);
                logger().error("auto-lock of " + name + " failed: " + errorText(error).toStdString());
                setMessage(Banner(kx("err.autoLockFailed", vault->config().name, describe(error)), true));
            }
            // still in use: the next round tries again
            bump();
            next();
        });
    };
    QPointer<AppModel> self(this);
    if (retry.trigger == AutoLockTrigger::screenLock) {
        if (!screenLocked_) {
            stop("the screen was unlocked");
            return;
        }
        if (!vault->config().autoLock.onScreenLock) {
            stop("it no longer locks with the screen");
            return;
        }
        // Not every screen locker says when it is unlocked: input since the
        // screen was locked (idle time shorter than the lock) also ends it.
        const double lockedSeconds = static_cast<double>(screenLockedFor_.elapsed()) / 1000.0;
        askIdle(0, [self, stop, attempt, lockedSeconds](std::optional<double> idle) {
            if (!self) return;
            if (idle && *idle + 2.0 < lockedSeconds) {
                stop("there was input since the screen was locked");
                return;
            }
            attempt();
        });
        return;
    }
    askIdle(0, [self, vault, stop, attempt](std::optional<double> idle) {
        if (!self) return;
        if (!idle || !idleQualifies(vault->config().autoLock, *idle)) {
            stop("the session is no longer idle past its limit");
            return;
        }
        attempt();
    });
}

bool AppModel::isImporting(const VaultPtr& vault) const {
    std::lock_guard lock(importGuard_->mutex);
    const auto it = importGuard_->lanes.find(laneOf(*vault));
    return it != importGuard_->lanes.end() && it->second.importing;
}

void AppModel::autoLock(const AutoLockPredicate& predicate, std::function<void()> done,
                        AutoLockTrigger trigger) {
    // A snapshot: vaults added during the pass are not seen.
    // Read afresh (not the tick's snapshot): a vault unlocked a moment ago
    // must not be missed.
    std::vector<VaultPtr> targets;
    const auto unlocked = Vault::unlockedStates(vaults_);
    for (std::size_t i = 0; i < vaults_.size(); ++i)
        if (unlocked[i] && predicate(vaults_[i]->config().autoLock)) targets.push_back(vaults_[i]);
    struct Pass {
        std::vector<VaultPtr> targets;
        std::vector<std::pair<LockOutcome, std::exception_ptr>> outcomes;
        std::size_t pending = 0;
        std::function<void()> done;
    };
    auto pass = std::make_shared<Pass>();
    pass->targets = targets;
    pass->outcomes.resize(targets.size());
    pass->pending = targets.size();
    pass->done = std::move(done);
    // Vaults with an operation running or waiting are in use: locking one
    // of them is news for the user.
    std::vector<bool> busy;
    for (const auto& v : targets)
        busy.push_back(working_.count(v->config().id) > 0);
    auto finish = [this, pass, busy, trigger] {
        // Outcomes are reported in the order of the list, whatever order the
        // lanes finished in; several failures leave the last banner.
        for (std::size_t i = 0; i < pass->targets.size(); ++i) {
            const auto& vault = pass->targets[i];
            const auto& [outcome, error] = pass->outcomes[i];
            if (outcome == LockOutcome::locked) {
                // After the pass: the sleep waits for the locks, not for the
                // folder-look tools.
                applyLook(vault);
                logger().info("auto-locked " + vault->name());
                if (busy[i]) postNotice(vault, kx("notice.lockedInUse", vault->config().name));
            } else if (outcome == LockOutcome::failed) {
                // A program holds a file: tried again while the reason to
                // lock lasts, and the banner says so.
                const bool retry = trigger != AutoLockTrigger::once && isInUse(error);
                const QString text = kx(retry ? "err.autoLockRetrying" : "err.autoLockFailed", vault->config().name,
                                        describe(error));
                if (retry) {
                    autoLockRetries_[vault->config().id] = AutoLockRetry{vault, trigger};
                    if (!autoLockRetryTimer_.isActive()) autoLockRetryTimer_.start();
                }
                message_ = Banner(text, true);
                postNotice(vault, text);
                logger().error("auto-lock of " + vault->name() +
                               " failed: " + errorText(error).toStdString());
            }
        }
        bump();
        if (pass->done) pass->done();
        refreshSleepDelay();
    };
    if (targets.empty()) {
        finish();
        return;
    }
    // The vaults lock in parallel (each on its own lane): before sleep the
    // time the system grants is short.
    for (std::size_t i = 0; i < targets.size(); ++i) {
        lockForPass(targets[i], false, [pass, i, finish](LockOutcome outcome, std::exception_ptr error) {
            pass->outcomes[i] = {outcome, error};
            if (--pass->pending == 0) finish();
        });
    }
}
