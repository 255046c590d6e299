#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// The vault library's one error type. Every failure the library detects
// itself is thrown as a VaultError with one of the cases below; errors of the
// platform (file system, OpenSSL) keep their own types.
//
// Equality compares the case and its payload, so hdiutil("attach", "x") and
// hdiutil("detach", "x") differ. The application reaches each case's text
// through key() and args().
class VaultError : public std::exception {
public:
    // Cases with a payload first, in declaration order, then those without.
    enum class Case {
        touchID,            // text
        busy,               // list of texts (may be empty)
        mountPointNotEmpty, // list of texts
        alreadyExists,      // text
        configMissing,      // text: path of vault.json
        hdiutil,            // two texts: the tool's verb and its cleaned output
        io,                 // text
        integrity,          // text
        snapshotNotFound,   // text
        wrongPassword,
        weakPassword,
        badMnemonic,
        mnemonicNotForThisVault,
        recoveryFailed,
        touchIDCancelled,
        touchIDInvalidated,
        touchIDNotEnabled,
        invalidName,
        openedElsewhere,
        notLocked,
        changedDuringSync,
    };

    static VaultError touchID(std::string text);
    static VaultError busy(std::vector<std::string> names);
    static VaultError mountPointNotEmpty(std::vector<std::string> names);
    static VaultError alreadyExists(std::string text);
    static VaultError configMissing(std::string path);
    static VaultError hdiutil(std::string verb, std::string message);
    static VaultError io(std::string text);
    static VaultError integrity(std::string text);
    static VaultError snapshotNotFound(std::string text);
    static VaultError wrongPassword();
    static VaultError weakPassword();
    static VaultError badMnemonic();
    static VaultError mnemonicNotForThisVault();
    static VaultError recoveryFailed();
    static VaultError touchIDCancelled();
    static VaultError touchIDInvalidated();
    static VaultError touchIDNotEnabled();
    static VaultError invalidName();
    static VaultError openedElsewhere();
    static VaultError notLocked();
    static VaultError changedDuringSync();

    Case kind() const noexcept { return kind_; }
    // The payload texts in order (empty for cases without one; for busy and
    // mountPointNotEmpty the list itself).
    const std::vector<std::string>& payload() const noexcept { return payload_; }

    // The case's name as written in code, e.g. "wrongPassword".
    std::string_view caseName() const noexcept;
    // The localisation key the application shows, e.g. "err.wrongPassword".
    std::string_view key() const noexcept;
    // The texts that fill the key's placeholders, already joined as the
    // application shows them: busy -> names joined by ", " or "?";
    // mountPointNotEmpty -> the first five joined by ", "; hdiutil -> verb,
    // message; io -> "io", text; cases without a placeholder -> none.
    std::vector<std::string> args() const;

    // An English one-line description (for logs and what()).
    const char* what() const noexcept override { return what_.c_str(); }

    friend bool operator==(const VaultError& a, const VaultError& b) noexcept {
        return a.kind_ == b.kind_ && a.payload_ == b.payload_;
    }

private:
    VaultError(Case kind, std::vector<std::string> payload);
    Case kind_;
    std::vector<std::string> payload_;
    std::string what_;
};

} // namespace vaultkit
