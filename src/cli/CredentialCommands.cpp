#include "cli/CredentialCommands.h"

#include "cli/CliApp.h"
#include "cli/Secret.h"
#include "cli/SecretReader.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/vault/Vault.h"

#include <openssl/crypto.h>

#include <charconv>
#include <optional>
#include <ostream>

namespace cli {

using vaultkit::Vault;
using vaultkit::VaultConfig;
using vaultkit::VaultError;

namespace {

// The longest idle time taken: a year.
constexpr std::int64_t kMaxIdleMinutes = 525600;

const char* onOff(bool value) {
    return value ? "on" : "off";
}

std::optional<bool> parseOnOff(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

std::optional<std::int64_t> parseMinutes(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 0 || value > kMaxIdleMinutes)
        return std::nullopt;
    return value;
}

// The new password, checked against the password rule at once and, on the
// terminal, typed twice. Nothing when the two do not match.
std::optional<Secret> readNewPassword(SecretReader& reader, bool fromStdin, std::ostream& err) {
    Secret password = reader.read("New password: ");
    Vault::validate(password.str());
    if (!fromStdin) {
        Secret again = reader.read("Repeat the new password: ");
        if (!(again == password)) {
            err << "hushcoffer-cli: The passwords do not match.\n";
            return std::nullopt;
        }
    }
    return password;
}

} // namespace

bool CredentialCommands::handles(const std::string& command) {
    return command == "passwd" || command == "recover" || command == "new-phrase" || command == "autolock";
}

int CredentialCommands::run(const CommandLine& line) {
    const std::string& c = line.command;
    if (c == "passwd") return passwd(line);
    if (c == "recover") return recover(line);
    if (c == "new-phrase") return newPhrase(line);
    if (c == "autolock") return autolock(line);
    return usageError("", "unknown command: " + c);
}

int CredentialCommands::usageError(const std::string& command, const std::string& message) {
    err_ << "hushcoffer-cli: " << message << '\n' << CommandLine::usage(command);
    return CliApp::exitUsage;
}

int CredentialCommands::passwd(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("passwd", "passwd needs one VAULT");
    auto vault = CliApp::resolve(line.args[0]);
    // Said before any password is typed; the library checks it again.
    if (vault->isUnlocked()) throw VaultError::notLocked();
    SecretReader reader(line.passwordStdin);
    Secret old = reader.read("Current password for \"" + vault->name() + "\": ");
    auto password = readNewPassword(reader, line.passwordStdin, err_);
    if (!password) return CliApp::exitFailure;
    vault->changePassword(old.str(), password->str());
    out_ << "Password changed for \"" << vault->name() << "\". The recovery phrase stays the same.\n";
    return CliApp::exitOK;
}

int CredentialCommands::recover(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("recover", "recover needs one VAULT");
    auto vault = CliApp::resolve(line.args[0]);
    SecretReader reader(line.passwordStdin);
    Secret phrase = reader.read("Recovery phrase for \"" + vault->name() + "\": ");
    // A phrase that does not parse, or belongs to another vault, is reported
    // before the new password is asked for.
    { const vaultkit::Mnemonic parsed(phrase.str()); }
    if (!vault->checkMnemonic(phrase.str())) throw VaultError::mnemonicNotForThisVault();
    auto password = readNewPassword(reader, line.passwordStdin, err_);
    if (!password) return CliApp::exitFailure;
    vault->recover(phrase.str(), password->str());
    out_ << "Recovered \"" << vault->name()
         << "\" with the new password. Unlocked: " << vault->openFolder().string() << '\n';
    return CliApp::exitOK;
}

int CredentialCommands::newPhrase(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("new-phrase", "new-phrase needs one VAULT");
    auto vault = CliApp::resolve(line.args[0]);
    SecretReader reader(line.passwordStdin);
    Secret password = reader.read("Password for \"" + vault->name() + "\": ");
    // A vault another process unlocked: this process never saw its password,
    // so the image itself answers (as "check" does).
    if (vault->isUnlocked()) vault->confirmWithImage(password.str());
    const vaultkit::Mnemonic mnemonic = vault->regenerateMnemonic(password.str());
    password.wipe();
    std::string text = mnemonic.phrase();
    out_ << text << std::endl;
    OPENSSL_cleanse(text.data(), text.size());
    err_ << "This is the new recovery phrase of \"" << vault->name()
         << "\"; the old one no longer works. Write down\n"
            "these twelve words, in order, and keep them somewhere safe. Anyone who has them can open the "
            "vault.\n";
    return CliApp::exitOK;
}

int CredentialCommands::autolock(const CommandLine& line) {
    if (line.args.size() != 1) return usageError("autolock", "autolock needs one VAULT");
    std::optional<bool> sleep, screen;
    std::optional<std::int64_t> idle;
    for (const auto& [name, value] : line.values) {
        if (name == "sleep" && !(sleep = parseOnOff(value)))
            return usageError("autolock", "--sleep takes on or off, not \"" + value + "\"");
        if (name == "screen" && !(screen = parseOnOff(value)))
            return usageError("autolock", "--screen takes on or off, not \"" + value + "\"");
        if (name == "idle" && !(idle = parseMinutes(value)))
            return usageError("autolock", "--idle takes whole minutes from 0 to " +
                                              std::to_string(kMaxIdleMinutes) + ", not \"" + value + "\"");
    }
    auto vault = CliApp::resolve(line.args[0]);
    VaultConfig::AutoLock settings = vault->config().autoLock;
    if (sleep || screen || idle) {
        if (sleep) settings.onSleep = *sleep;
        if (screen) settings.onScreenLock = *screen;
        if (idle) settings.idleMinutes = *idle;
        vault->setAutoLock(settings);
    }
    out_ << "sleep\t" << onOff(settings.onSleep) << "\nscreen\t" << onOff(settings.onScreenLock) << "\nidle\t"
         << (settings.idleMinutes < 1 ? 0 : settings.idleMinutes) << '\n';
    return CliApp::exitOK;
}

} // namespace cli
