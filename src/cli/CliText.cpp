#include "cli/CliText.h"

#include "vaultkit/error/VaultError.h"

#ifdef HC_CLI_KXSTRINGS
#include "kxstrings/KXStrings.h"
#endif

#include <mutex>
#include <utility>

namespace cli {

namespace {

// English texts of the keys the vault library's errors map to (the same
// wording as the application's English table).
constexpr std::pair<std::string_view, std::string_view> kEnglish[] = {
    {"err.touchid", "Quick unlock failed: %@"},
    {"err.busy", "The vault is in use by: %@. Close those programs and try again."},
    {"err.notEmpty", "The vault’s folder is not empty. It contains: %@"},
    {"err.exists", "“%@” already exists. Choose another name or place."},
    {"err.configMissing", "The vault’s record cannot be read: %@"},
    {"err.system", "System error (%@): %@"},
    {"err.integrity", "The backup is damaged: %@"},
    {"err.noSnapshot", "This backup snapshot does not exist."},
    {"err.wrongPassword", "The password is not correct."},
    {"err.weakPassword", "The password must be at least 8 characters long and cannot contain line breaks."},
    {"err.badMnemonic", "This is not a valid recovery phrase. Check the words and their order."},
    {"err.mnemonicOther", "This recovery phrase belongs to another vault."},
    {"err.recoveryFailed", "Access cannot be recovered: no recovery copy of the password opens this vault."},
    {"err.touchidCancelled", "Quick unlock was cancelled."},
    {"err.touchidInvalid",
     "Quick unlock no longer works for this vault. Unlock it with the password, then turn "
     "quick unlock on again."},
    {"err.touchidOff", "Quick unlock is not turned on for this vault."},
    {"err.invalidName", "This name cannot be used for a vault. A name must not be empty, start with a dot or "
                        "contain “/”."},
    {"err.elsewhere", "The vault is open somewhere else. Close it there, then try again."},
    {"err.notLocked", "Lock the vault first."},
    {"err.importContainsVault", "“%@” contains this vault and cannot be imported into it."},
    {"err.syncChanged", "The vault changed while it was being backed up. Try again."},
    {"err.notAVault", "This is not a Hushcoffer vault. Choose a vault’s folder or its hidden “.hushcoffer” "
                      "folder."},
    {"err.keyringNoService",
     "No keyring is running on this desktop (such as GNOME Keyring, KWallet or KeePassXC), "
     "so no password can be stored or read."},
    {"err.keyringLocked", "The keyring is locked and was not unlocked."},
    {"err.keyringFailed", "The keyring reported an error: %@"},
    // The name of the link in a locked vault's folder that opens the application.
    {"launcher.name", "Unlock with Hushcoffer"},
    {"mountMode.why.synced",
     "Mounted shared: the encrypted data is in a folder that %1$@ keeps in sync (%2$@), so changes arriving from other computers show at once."},
    {"mountMode.why.network",
     "Mounted shared: the encrypted data is on a network or cloud drive (%1$@ at %2$@), so changes made from other computers show at once."},
    {"mountMode.why.local",
     "Mounted local: no sync client or network drive holds the encrypted data, so the vault uses the fastest way."},
    {"mountMode.why.chosenLocal",
     "Mounted local, as you chose: the fastest way. If another program changes the encrypted data, the change may show late while the vault is unlocked."},
    {"mountMode.why.chosenLocalSynced",
     "Mounted local, as you chose, although %@ keeps the encrypted data in sync: changes from other computers may show late until the vault is locked and unlocked again."},
    {"mountMode.why.chosenShared",
     "Mounted shared, as you chose: changes other programs make to the encrypted data show at once; opening and listing files is slower."},
    {"mountMode.nextUnlock",
     "A change takes effect the next time the vault is unlocked."},
    {"mountMode.why.changedWhileLocked",
     "Mounted shared: files of the encrypted data changed while the vault was locked on this computer, so another program or computer writes them. Choose local to undo this."},
    {"mountMode.current.shared",
     "Mounted now in shared mode (its gocryptfs daemon runs with -sharedstorage); the first line is how the next unlock mounts it."},
    {"mountMode.current.local",
     "Mounted now in local mode (its gocryptfs daemon runs without -sharedstorage); the first line is how the next unlock mounts it."},
    {"sync.excluded",
     "%1$@ keeps %2$@ in sync; this vault’s visible folder is left out of it (%3$@), so only the encrypted data travels."},
    {"sync.notExcluded",
     "%1$@ keeps %2$@ in sync and does not leave this vault’s visible folder out yet; Hushcoffer excludes it before the vault is unlocked."},
    {"sync.pending",
     "%1$@ keeps %2$@ in sync; this vault’s visible folder is left out of it as soon as the folder exists."},
    {"sync.cannotExclude",
     "%1$@ keeps %2$@ in sync and cannot be told to leave this vault’s visible folder out, so the vault is never opened there: it opens in a folder outside the synced folder, and the visible folder keeps its locked look."},
    {"sync.resync",
     "Run “onedrive --resync” once: the OneDrive client does not sync again until it has read the new exclusion."},
    {"unlock.elsewhere",
     "Unlocked at %1$@, outside the synced folder: %2$@ keeps %3$@ in sync and cannot be told to leave this vault’s visible folder out, so the vault is not opened there and its visible folder stays locked."},
    {"unlock.elsewhereAt",
     "Unlocked at %@, outside the synced folder: this vault’s visible folder cannot be kept out of sync, so the vault is not opened there and its visible folder stays locked."},
    {"stale.note",
     "The program that kept this vault open stopped unexpectedly, so its folder cannot be used. Unlock the vault again; your files are safe."},
};

#ifdef HC_CLI_KXSTRINGS
bool tablesAvailable() {
    static std::once_flag once;
    static bool found = false;
    std::call_once(once, [] {
        if (auto bundle = KXResourceBundle::find(KXStrings::productBundleName)) {
            KXStrings::registerProductBundle(std::move(*bundle));
            KXStrings::setLanguage("en");
            found = true;
        }
    });
    return found;
}
#endif

std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

} // namespace

std::string_view CliText::builtInText(std::string_view key) {
    for (const auto& [k, text] : kEnglish)
        if (k == key) return text;
    return {};
}

std::string CliText::format(std::string_view text, const std::vector<std::string>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        if (text[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (text[i + 1] == '@') {
            if (next < args.size()) out += args[next];
            ++next;
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9' && text[i + 2] == '$' &&
                   text[i + 3] == '@') {
            std::size_t index = static_cast<std::size_t>(text[i + 1] - '1');
            if (index < args.size()) out += args[index];
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string CliText::errorText(std::string_view key, const std::vector<std::string>& args) {
#ifdef HC_CLI_KXSTRINGS
    if (tablesAvailable()) {
        std::vector<KXFormat::Arg> formatArgs;
        formatArgs.reserve(args.size());
        for (const auto& a : args)
            formatArgs.emplace_back(a);
        return oneLine(KXStrings::text(key, std::span<const KXFormat::Arg>(formatArgs)));
    }
#endif
    std::string_view text = builtInText(key);
    if (text.empty()) text = key;
    return oneLine(format(text, args));
}

std::string CliText::describe(const std::exception& error) {
    if (auto* v = dynamic_cast<const vaultkit::VaultError*>(&error)) return errorText(v->key(), v->args());
    return oneLine(error.what());
}

} // namespace cli
