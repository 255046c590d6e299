#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace vaultkit {

// Why the keyring could not be used.
class KeyringError : public std::runtime_error {
public:
    enum class Kind {
        noService, // no keyring service answers on the session bus
        locked,    // the keyring is locked and was not opened (prompt dismissed or impossible)
        failed,    // the service answered with an error
        cancelled, // withdrawn by cancel()
    };
    KeyringError(Kind kind, const std::string& detail)
        : std::runtime_error(detail)
        , kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Where a vault's password is kept so the vault can be unlocked without
// typing it: the desktop's keyring. One item per vault, found by the vault's
// id; the stored password is given back only to the caller, never written to
// a file or a log of ours.
//
// Every call may block (a bus round trip, or the keyring's own unlock prompt
// while the user answers it): never on the GUI thread. All throw
// KeyringError.
class Keyring {
public:
    virtual ~Keyring() = default;

    // Makes sure the keyring that holds new items is open: when it is locked,
    // the service asks the user to unlock it with its own prompt (one prompt,
    // whatever number of items is read afterwards). Throws KeyringError
    // (noService, locked when the prompt was dismissed).
    virtual void open() = 0;
    // The stored password of the vault; nothing when there is no item.
    virtual std::optional<std::string> password(const std::string& vaultId) = 0;
    // Stores the password under the vault's id with `label` (the vault's
    // name) as the item's label, replacing every earlier item of the vault.
    virtual void store(const std::string& vaultId, const std::string& label, const std::string& password) = 0;
    // Deletes the vault's item; false when there was none.
    virtual bool remove(const std::string& vaultId) = 0;
    // Withdraws the calls under way, an unanswered unlock prompt included,
    // and every later one, for good (the application quits): they throw
    // KeyringError(cancelled). Safe from any thread.
    virtual void cancel() = 0;
};

} // namespace vaultkit
