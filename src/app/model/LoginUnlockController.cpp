#include "app/model/LoginUnlockController.h"

#include "app/model/AppModel.h"
#include "app/model/AutoLockController.h"
#include "app/model/Notices.h"
#include "app/model/SecretText.h"
#include "app/model/VaultWorkRunner.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/keyring/Keyring.h"
#include "vaultkit/keyring/SecretServiceKeyring.h"
#include "vaultkit/record/VaultPreferences.h"
#include "vaultkit/vault/Vault.h"

#include <filesystem>

using secrettext::WipeOnExit;
using vaultkit::Keyring;
using vaultkit::KeyringError;
using vaultkit::Uuid;
using vaultkit::VaultError;

namespace {

kxcore::Log& logger() {
    return kxcore::Log::shared();
}

std::string idOf(const LoginUnlockController::VaultPtr& vault) {
    return vault->config().id.text();
}

QString nameOf(const LoginUnlockController::VaultPtr& vault) {
    return QString::fromStdString(vault->config().name);
}

bool isWrongPassword(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const VaultError& e) {
        return e.kind() == VaultError::Case::wrongPassword;
    } catch (...) {
        return false;
    }
}

// The keyring item's label, as the desktop's keyring manager lists it: says
// the item is this application's and names the vault. Only the label: the
// lookup attributes (application, vault id) stay what they were, so items
// stored before are still found.
std::string keyringLabel(const LoginUnlockController::VaultPtr& vault) {
    return kx("loginUnlock.keyringLabel", QString::fromStdString(vault->config().name)).toStdString();
}

} // namespace

vaultkit::VaultPreferences LoginUnlockController::preferences() const {
    return vaultkit::VaultPreferences(std::filesystem::path(model_.supportDir().toStdString()));
}

LoginUnlockController::LoginUnlockController(AppModel& model, VaultWorkRunner& work)
    : model_(model)
    , work_(work) {}

void LoginUnlockController::cancel() {
    if (keyring_) keyring_->cancel();
}

const std::shared_ptr<Keyring>& LoginUnlockController::keyring() {
    if (!keyring_) keyring_ = std::make_shared<vaultkit::SecretServiceKeyring>();
    return keyring_;
}

void LoginUnlockController::setKeyring(std::shared_ptr<Keyring> keyring) {
    keyring_ = std::move(keyring);
}

bool LoginUnlockController::unlocksAtLogin(const VaultPtr& vault) const {
    if (!vault) return false;
    const auto value = preferences().value(idOf(vault), loginUnlockKey);
    return value && value->is_boolean() && value->get<bool>();
}

void LoginUnlockController::enableLoginUnlock(const VaultPtr& vault, const QString& password, Done done) {
    keyring();
    auto secret = std::make_shared<std::string>(secrettext::bytes(password));
    work_.run(
        vault, kx("work.keyring"),
        [vault, secret, keyring = keyring_, prefs = preferences(), label = keyringLabel(vault)]() mutable {
            const WipeOnExit wiped{secret.get()};
            // Only a password that opens the vault is stored. Asked of the
            // image itself: a vault unlocked by another process (or before
            // this start) has no password remembered to compare with.
            vault->confirmWithImage(*secret);
            keyring->store(idOf(vault), label, *secret);
            try {
                prefs.setValue(idOf(vault), loginUnlockKey, true);
            } catch (...) {
                // Without the choice recorded nothing would ever use or
                // delete the copy: take it back.
                try {
                    keyring->remove(idOf(vault));
                } catch (...) {
                }
                throw;
            }
        },
        [this, vault, done = std::move(done)](bool ok) {
            if (ok) {
                logger().info("unlock at login turned on for " + vault->name());
                model_.setMessage(Banner(kx("ok.loginUnlockOn", nameOf(vault)), false));
            }
            if (done) done(ok);
        });
}

void LoginUnlockController::disableLoginUnlock(const VaultPtr& vault, Done done) {
    keyring();
    auto removal = std::make_shared<std::exception_ptr>();
    work_.submit(
        vault,
        [vault, removal, keyring = keyring_, prefs = preferences()]() mutable {
            try {
                keyring->remove(idOf(vault));
            } catch (...) {
                *removal = std::current_exception();
            }
            // Off either way: nothing reads the copy any more.
            prefs.setValue(idOf(vault), loginUnlockKey, false);
        },
        [this, vault, removal, done = std::move(done)](std::exception_ptr error) {
            if (*removal) {
                logger().error("cannot delete the stored password of " + vault->name() + ": " +
                               detailOf(*removal));
                model_.holdMessage(
                    Banner(kx("err.keyringNotRemoved", nameOf(vault), describe(*removal)), true));
            } else if (error) {
                logger().error("cannot turn off unlock at login for " + vault->name() + ": " +
                               detailOf(error));
                model_.holdMessage(Banner(describe(error), true));
            } else {
                logger().info("unlock at login turned off for " + vault->name());
            }
            model_.announce();
            if (done) done(!error && !*removal);
        });
}

void LoginUnlockController::keepStoredPassword(const VaultPtr& vault, const QString& password) {
    if (!unlocksAtLogin(vault)) return;
    keyring();
    auto secret = std::make_shared<std::string>(secrettext::bytes(password));
    work_.submit(
        vault,
        [vault, secret, keyring = keyring_, prefs = preferences(), label = keyringLabel(vault)]() mutable {
            const WipeOnExit wiped{secret.get()};
            try {
                keyring->store(idOf(vault), label, *secret);
            } catch (...) {
                // The old copy no longer opens the vault: it must not stay,
                // and the choice goes off with it.
                try {
                    keyring->remove(idOf(vault));
                } catch (...) {
                }
                try {
                    prefs.setValue(idOf(vault), loginUnlockKey, false);
                } catch (...) {
                }
                throw;
            }
        },
        [this, vault](std::exception_ptr error) {
            if (!error) return;
            logger().error("cannot replace the stored password of " + vault->name() + ": " + detailOf(error));
            const QString text = kx("err.keyringNotUpdated", nameOf(vault), describe(error));
            model_.setMessage(Banner(text, true));
            model_.notices().postNotice(vault, text);
        });
}

void LoginUnlockController::dropStoredPassword(const VaultPtr& vault) {
    if (!vault || !unlocksAtLogin(vault)) return;
    keyring();
    const std::string id = idOf(vault);
    const std::string name = vault->name();
    // The vault leaves the list now; its lane is the keyring's own.
    work_.submitOnLane(" keyring", [keyring = keyring_, prefs = preferences(), id, name]() mutable {
        try {
            keyring->remove(id);
            prefs.remove(id, loginUnlockKey);
        } catch (const std::exception& e) {
            logger().error("cannot delete the stored password of the forgotten vault " + name + ": " +
                           e.what());
        }
    });
}

// ---- The start pass -----------------------------------------------------------

struct LoginUnlockController::StartPass {
    struct Entry {
        VaultPtr vault;
        quint64 serial = 0;
        std::optional<std::string> password; // as read from the keyring
        std::exception_ptr lookupError;
    };
    std::vector<Entry> entries;
    std::size_t next = 0;
    std::exception_ptr openError; // the keyring could not be opened at all
    QStringList problems;         // banner lines, in order
    std::function<void()> done;

    ~StartPass() {
        for (auto& e : entries)
            if (e.password) secrettext::wipe(*e.password);
    }
};

void LoginUnlockController::unlockAtStart(std::function<void()> done) {
    auto pass = std::make_shared<StartPass>();
    pass->done = std::move(done);
    for (const auto& v : model_.vaults())
        if (unlocksAtLogin(v) && !model_.isUnlocked(v))
            pass->entries.push_back({v, 0, std::nullopt, nullptr});
    if (pass->entries.empty()) {
        if (pass->done) pass->done();
        return;
    }
    keyring();
    logger().info("unlock at login: " + std::to_string(pass->entries.size()) + " vault(s)");
    for (auto& e : pass->entries)
        e.serial = work_.beginWork(e.vault->config().id, kx("work.unlocking"));
    model_.announce();

    std::vector<std::string> ids;
    for (const auto& e : pass->entries)
        ids.push_back(idOf(e.vault));
    auto found = std::make_shared<std::vector<std::optional<std::string>>>(ids.size());
    auto errors = std::make_shared<std::vector<std::exception_ptr>>(ids.size());
    auto openError = std::make_shared<std::exception_ptr>();
    // One opening of the keyring for all vaults (its prompt at most once),
    // then each password; the keyring's lane, never the GUI thread.
    work_.submitOnLane(" keyring", [this, keyring = keyring_, ids, found, errors, openError, pass] {
        try {
            keyring->open();
            for (std::size_t i = 0; i < ids.size(); ++i) {
                try {
                    (*found)[i] = keyring->password(ids[i]);
                } catch (...) {
                    (*errors)[i] = std::current_exception();
                }
            }
        } catch (...) {
            *openError = std::current_exception();
        }
        work_.post([this, found, errors, openError, pass] {
            pass->openError = *openError;
            for (std::size_t i = 0; i < pass->entries.size(); ++i) {
                pass->entries[i].password = std::move((*found)[i]);
                if ((*found)[i]) secrettext::wipe(*(*found)[i]);
                pass->entries[i].lookupError = (*errors)[i];
            }
            startPassNext(pass);
        });
    });
}

void LoginUnlockController::startPassNext(const std::shared_ptr<StartPass>& pass) {
    if (pass->openError) {
        abandonPass(pass);
        return;
    }
    while (pass->next < pass->entries.size()) {
        const std::size_t index = pass->next++;
        if (skipped(pass, index)) continue;
        unlockEntry(pass, index);
        return;
    }
    startPassEnd(pass);
}

// The keyring could not be opened: every vault of the pass stays locked.
void LoginUnlockController::abandonPass(const std::shared_ptr<StartPass>& pass) {
    QStringList names;
    for (auto& e : pass->entries) {
        names << nameOf(e.vault);
        work_.endWork(e.vault->config().id, e.serial);
    }
    logger().warn("unlock at login: the keyring could not be used (" + detailOf(pass->openError) +
                  "); the vaults stay locked");
    pass->problems << kx("err.loginUnlockSkipped", names.join(", "), describe(pass->openError));
    startPassEnd(pass);
}

// An entry there is nothing to unlock with, or no longer anything to unlock
// for: forgotten or opened by hand meanwhile, its password unreadable, or
// its keyring item deleted outside the application (the choice is then off).
bool LoginUnlockController::skipped(const std::shared_ptr<StartPass>& pass, std::size_t index) {
    StartPass::Entry& entry = pass->entries[index];
    const VaultPtr vault = entry.vault;
    const Uuid id = vault->config().id;
    const bool listed = model_.vaultWithId(id) == vault;
    if (listed && !model_.isUnlocked(vault) && !entry.lookupError && entry.password) return false;
    work_.endWork(id, entry.serial);
    if (!listed || model_.isUnlocked(vault)) return true;
    QString text;
    if (entry.lookupError) {
        logger().warn("unlock at login: cannot read the password of " + vault->name() + ": " +
                      detailOf(entry.lookupError));
        text = kx("err.loginUnlockSkipped", nameOf(vault), describe(entry.lookupError));
    } else {
        logger().warn("unlock at login: no stored password for " + vault->name() + "; the choice is off");
        try {
            preferences().setValue(idOf(vault), loginUnlockKey, false);
        } catch (const std::exception& e) {
            logger().error(std::string("cannot save the vault settings: ") + e.what());
        }
        text = kx("err.loginUnlockMissing", nameOf(vault));
    }
    pass->problems << text;
    model_.notices().postNotice(vault, text);
    return true;
}

// Unlocks the entry's vault with its stored password on the vault's lane; the
// pass goes on with the next entry when that is done.
void LoginUnlockController::unlockEntry(const std::shared_ptr<StartPass>& pass, std::size_t index) {
    StartPass::Entry& entry = pass->entries[index];
    const VaultPtr vault = entry.vault;
    const Uuid id = vault->config().id;
    auto secret = std::make_shared<std::string>(std::move(*entry.password));
    entry.password.reset();
    const quint64 serial = entry.serial;
    work_.submit(
        vault,
        [vault, secret, keyring = keyring_, prefs = preferences()]() mutable {
            const WipeOnExit wiped{secret.get()};
            try {
                vault->unlock(*secret);
            } catch (const VaultError& e) {
                if (e.kind() != VaultError::Case::wrongPassword) throw;
                // Changed elsewhere: the stored copy is useless, and the
                // choice cannot be kept without it.
                try {
                    keyring->remove(idOf(vault));
                } catch (const std::exception& removal) {
                    logger().error("cannot delete the stale password of " + vault->name() + ": " + removal.what());
                }
                try {
                    prefs.setValue(idOf(vault), loginUnlockKey, false);
                } catch (const std::exception& save) {
                    logger().error(std::string("cannot save the vault settings: ") + save.what());
                }
                throw;
            }
        },
        [this, vault, id, serial, pass](std::exception_ptr error) {
            work_.endWork(id, serial);
            if (!error) {
                logger().info("unlocked at login: " + vault->name());
                if (model_.isUnlocked(vault)) model_.applyLook(vault);
            } else {
                QString text;
                if (isWrongPassword(error)) {
                    logger().warn("unlock at login: the stored password of " + vault->name() +
                                  " no longer opens it; deleted, the choice is off");
                    text = kx("err.loginUnlockStale", nameOf(vault));
                } else {
                    logger().error("unlock at login of " + vault->name() + " failed: " + detailOf(error));
                    text = kx("err.loginUnlockSkipped", nameOf(vault), describe(error));
                }
                pass->problems << text;
                model_.notices().postNotice(vault, text);
            }
            model_.bump();
            startPassNext(pass);
        });
}

void LoginUnlockController::startPassEnd(const std::shared_ptr<StartPass>& pass) {
    if (!pass->problems.isEmpty()) {
        model_.holdMessage(Banner(pass->problems.join("\n"), true));
        // At login the window is usually not shown: every problem is also a
        // notice (each vault's own as it happened; a keyring that could not
        // be used at all, once here).
        if (pass->openError && !pass->entries.empty())
            model_.notices().postNotice(pass->entries.front().vault, pass->problems.front());
    }
    model_.bump();
    model_.autoLocking().refreshSleepDelay();
    if (pass->done) pass->done();
}
