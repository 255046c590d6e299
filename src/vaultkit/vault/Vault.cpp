#include "vaultkit/vault/Vault.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/mountmode/LockedTree.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/vault/OutsideFolder.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

std::mutex backupDirMutex;
std::optional<fs::path> backupDir;
std::optional<fs::path> preferencesDir; // under backupDirMutex too

// One code point of valid UTF-8 at s[pos...]; -1 for invalid input.
utf8proc_int32_t codePointAt(std::string_view s, std::size_t pos, std::size_t& length) {
    utf8proc_int32_t cp = -1;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                              static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
    if (n <= 0) return -1;
    length = static_cast<std::size_t>(n);
    return cp;
}

std::vector<utf8proc_int32_t> codePoints(std::string_view s, bool& valid) {
    std::vector<utf8proc_int32_t> out;
    valid = true;
    for (std::size_t pos = 0; pos < s.size();) {
        std::size_t len = 0;
        auto cp = codePointAt(s, pos, len);
        if (cp < 0) {
            valid = false;
            return out;
        }
        out.push_back(cp);
        pos += len;
    }
    return out;
}

// White space and line ends as a trim removes them: the separators (Zs, Zl,
// Zp), tab, U+000A-U+000D and U+0085.
bool isWhitespaceOrNewline(utf8proc_int32_t cp) {
    if (cp == 0x09 || (cp >= 0x0A && cp <= 0x0D) || cp == 0x85) return true;
    auto cat = utf8proc_category(cp);
    return cat == UTF8PROC_CATEGORY_ZS || cat == UTF8PROC_CATEGORY_ZL || cat == UTF8PROC_CATEGORY_ZP;
}

bool isLineBreak(utf8proc_int32_t cp) {
    return (cp >= 0x0A && cp <= 0x0D) || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}

// Trims white space and line ends from both ends; nothing for invalid UTF-8.
std::optional<std::string> trimmed(std::string_view s) {
    std::size_t start = 0, end = s.size();
    while (start < end) {
        std::size_t len = 0;
        auto cp = codePointAt(s, start, len);
        if (cp < 0) return std::nullopt;
        if (!isWhitespaceOrNewline(cp)) break;
        start += len;
    }
    bool valid = true;
    auto rest = codePoints(s.substr(start, end - start), valid);
    if (!valid) return std::nullopt;
    std::size_t cut = end;
    for (auto it = rest.rbegin(); it != rest.rend() && isWhitespaceOrNewline(*it); ++it) {
        utf8proc_uint8_t buf[4];
        cut -= static_cast<std::size_t>(utf8proc_encode_char(*it, buf));
    }
    return std::string(s.substr(start, cut - start));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::system_error(EIO, std::generic_category(), "cannot read " + path.string());
    return bytes;
}

bool somethingAt(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A vault directory that a creation left when it was stopped (killed, the
// machine off) before the first record was saved: nothing in it but the image
// and the record's temporary files, no copy of a record anywhere, and an
// image that never held a file. Nothing of the user's can be in it, and it
// would block creating the vault again.
bool leftByStoppedCreation(const fs::path& dir, const fs::path& mountPoint, DiskImage& driver) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    const std::string image = driver.imageName();
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name != image && !name.starts_with(".vault.json.tmp-") && !name.starts_with(".vault.json.bak.tmp-"))
            return false;
    }
    if (ec) return false;
    for (const auto& candidate : {dir / "vault.json", dir / "vault.json.bak"})
        if (::lstat(candidate.c_str(), &st) == 0) return false;
    if (auto backup = Vault::backupURL(dir); backup && ::lstat(backup->c_str(), &st) == 0) return false;
    if (somethingAt(mountPoint) && driver.isMountPoint(mountPoint)) return false;
    return driver.neverHeldData(dir / image);
}

std::string readmeText(const std::string& name, const std::vector<std::string>& howToOpen) {
    std::vector<std::string> lines;
    lines.push_back("这是「" + name + "」加密文件夹的数据（Hushcoffer 创建）。");
    lines.push_back("This folder holds the encrypted data of \"" + name + "\" (created by Hushcoffer).");
    lines.emplace_back();
    lines.emplace_back("不用 Hushcoffer 也能打开 / Open without Hushcoffer:");
    for (const auto& l : howToOpen)
        lines.push_back(l);
    lines.emplace_back();
    lines.emplace_back(
        "请勿删除、移动或修改本文件夹里的任何文件。备份时整个文件夹一起复制（复制出来的仍是加密的）。");
    lines.emplace_back(
        "Do not delete or modify anything here. Back up this whole folder (copies stay encrypted).");
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}

// Overwrites a password copy before its memory is given back.
struct WipedString {
    std::string value;
    ~WipedString() {
        if (!value.empty()) OPENSSL_cleanse(value.data(), value.size());
    }
};

// The name a vault is created with: trimmed, UTF-8 without NUL (it goes
// into the record), not hidden, no path separator.
std::string creationName(std::string_view nameIn) {
    auto trimmedName = trimmed(nameIn);
    if (!trimmedName || trimmedName->empty() || trimmedName->front() == '.' ||
        trimmedName->find_first_of(std::string_view("/:\0", 3)) != std::string::npos)
        throw VaultError::invalidName();
    return *trimmedName;
}

// What making a new vault's two folders found and did.
struct NewFolders {
    bool mountPointExisted = false;
    bool excluded = true; // every sync client leaves the visible folder out
};

// The vault directory's place cleared of what a stopped creation left, and
// the visible folder made (or an empty one taken) with every sync client
// told to leave it out first, so that no client ever sees it. A client that
// cannot be kept out never sees the volume either: the vault then opens
// outside the synced folder (attachPrepared), and its visible folder is a
// locked one from the start.
NewFolders makeFolders(const fs::path& dir, const fs::path& mountPoint, DiskImage& driver) {
    if (somethingAt(dir)) {
        if (!leftByStoppedCreation(dir, mountPoint, driver)) throw VaultError::alreadyExists(dir.string());
        std::error_code ec;
        fs::remove_all(dir, ec);
        if (ec) throw VaultError::alreadyExists(dir.string());
    }
    NewFolders made;
    const auto exclude = [&] {
        try {
            SyncExclusion::apply(mountPoint);
        } catch (const VaultError& e) {
            if (e.kind() != VaultError::Case::io) throw;
            made.excluded = false;
        }
    };
    exclude();
    made.mountPointExisted = somethingAt(mountPoint);
    if (!made.mountPointExisted) {
        fs::create_directory(mountPoint);
        // An exclusion carried by the folder itself (an attribute) can be
        // set only now that it exists.
        try {
            if (made.excluded) exclude();
        } catch (...) {
            std::error_code ignored;
            fs::remove(mountPoint, ignored);
            throw;
        }
    } else if (!Vault::visibleItems(mountPoint).empty()) {
        throw VaultError::alreadyExists(mountPoint.string());
    }
    if (!made.excluded) ::chmod(mountPoint.c_str(), 0555);
    return made;
}

// The first record of a vault: a new id, the password sealed to the
// recovery phrase's key, no quick unlock, automatic locking as by default.
VaultConfig firstRecord(const std::string& name, const std::string& password, const X25519PrivateKey& recoveryKey) {
    const X25519PublicKey publicKey = recoveryKey.publicKey();
    VaultConfig config;
    config.format = 1;
    config.id = Uuid::random();
    config.name = name;
    config.createdAt = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    config.recoveryPublicKey.assign(publicKey.raw.begin(), publicKey.raw.end());
    config.recoveryBlobs = {Sealing::seal(password, publicKey)};
    config.touchID.reset();
    config.autoLock = VaultConfig::AutoLock{};
    return config;
}

} // namespace

// ---------------------------------------------------------------- statics

const std::set<std::string>& Vault::ignorable() {
    static const std::set<std::string> names{".DS_Store", "Icon\r", ".localized", ".directory"};
    return names;
}

bool Vault::isVaultDirName(std::string_view name) {
    return name.size() > dirSuffix.size() + 1 && name.front() == '.' && name.ends_with(dirSuffix);
}

std::optional<fs::path> Vault::backupDirectory() {
    std::lock_guard lock(backupDirMutex);
    return backupDir;
}

void Vault::setBackupDirectory(std::optional<fs::path> folder) {
    std::lock_guard lock(backupDirMutex);
    if (folder && folder->empty()) folder.reset();
    backupDir = std::move(folder);
}

std::optional<VaultPreferences> Vault::preferences() {
    std::lock_guard lock(backupDirMutex);
    if (!preferencesDir) return std::nullopt;
    return VaultPreferences(*preferencesDir);
}

void Vault::setPreferencesDirectory(std::optional<fs::path> supportDir) {
    std::lock_guard lock(backupDirMutex);
    if (supportDir && supportDir->empty()) supportDir.reset();
    preferencesDir = std::move(supportDir);
}

std::optional<fs::path> Vault::backupURL(const fs::path& dir) {
    auto folder = backupDirectory();
    if (!folder) return std::nullopt;
    const std::string canonical = DiskImage::platformDefault()->canonical(dir.string());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(canonical.data(), canonical.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string name = "vault-";
    for (int i = 0; i < 8; ++i) {
        name += hex[digest[i] >> 4];
        name += hex[digest[i] & 0x0F];
    }
    name += ".json";
    return *folder / name;
}

void Vault::validate(std::string_view password) {
    bool valid = true;
    auto cps = codePoints(password, valid);
    if (!valid) throw VaultError::weakPassword();
    std::size_t characters = 0;
    utf8proc_int32_t state = 0;
    for (std::size_t i = 0; i < cps.size(); ++i) {
        if (cps[i] == 0 || isLineBreak(cps[i])) throw VaultError::weakPassword();
        if (i == 0 || utf8proc_grapheme_break_stateful(cps[i - 1], cps[i], &state)) ++characters;
    }
    if (characters < 8) throw VaultError::weakPassword();
}

std::optional<VaultConfig> Vault::loadRecord(const fs::path& dir) {
    const fs::path url = dir / "vault.json";
    if (auto config = ConfigStore::load({url, ConfigStore::backupSibling(url)})) return config;
    if (auto backup = backupURL(dir)) return ConfigStore::load({*backup});
    return std::nullopt;
}

std::vector<std::string> Vault::visibleItems(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (ignorable().contains(name)) continue;
        std::error_code ec;
        if (entry.is_symlink(ec)) {
            auto target = fs::read_symlink(entry.path(), ec).string();
            if (!ec && (target.ends_with(".app") || target.ends_with(".desktop"))) continue;
        }
        names.push_back(std::move(name));
    }
    return names;
}

bool Vault::targetIsUsable(const fs::path& folder) {
    if (!somethingAt(folder)) return true;
    try {
        return visibleItems(folder).empty();
    } catch (const fs::filesystem_error&) {
        return true;
    }
}

// ---------------------------------------------------------------- object

Vault::Vault(fs::path dir, VaultConfig config, std::shared_ptr<DiskImage> driver)
    : dir_(std::move(dir))
    , driver_(driver ? std::move(driver) : DiskImage::platformDefault())
    , config_(std::move(config)) {}

Vault::~Vault() {
    clearVerifiedPassword();
}

VaultConfig Vault::config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

fs::path Vault::image() const {
    return dir_ / driver_->imageName();
}
fs::path Vault::configURL() const {
    return dir_ / "vault.json";
}
fs::path Vault::mountPoint() const {
    return dir_.parent_path() / name();
}

fs::path Vault::outsideFolder() const {
    const std::string shown = name();
    std::lock_guard lock(mutex_);
    if (!outside_ || outside_->first != shown)
        outside_.emplace(shown, OutsideFolder::of(driver_->canonical(dir_.string()), shown));
    return outside_->second;
}

fs::path Vault::openFolder() const {
    const fs::path visible = mountPoint();
    const fs::path outside = outsideFolder();
    const auto mounted = driver_->areMountPoints({visible, outside});
    if (mounted.size() == 2 && !mounted[0] && mounted[1]) return outside;
    return visible;
}

std::string Vault::name() const {
    std::lock_guard lock(mutex_);
    return config_.name;
}

bool Vault::isUnlocked() const {
    return mountState() == DiskImage::MountState::mounted;
}

DiskImage::MountState Vault::mountState() const {
    const auto states = driver_->mountStates({mountPoint(), outsideFolder()});
    for (const auto state : states)
        if (state != DiskImage::MountState::notMounted) return state;
    return DiskImage::MountState::notMounted;
}

std::vector<bool> Vault::unlockedStates(const std::vector<std::shared_ptr<Vault>>& vaults) {
    std::vector<bool> unlocked;
    unlocked.reserve(vaults.size());
    for (const auto state : mountStates(vaults))
        unlocked.push_back(state == DiskImage::MountState::mounted);
    return unlocked;
}

MountModePolicy::Choice Vault::mountModeChoice() const {
    const auto prefs = preferences();
    if (!prefs) return MountModePolicy::Choice::automatic;
    const auto text = prefs->text(config().id.text(), MountModePolicy::preferenceKey);
    return text ? MountModePolicy::parseChoice(*text).value_or(MountModePolicy::Choice::automatic)
                : MountModePolicy::Choice::automatic;
}

namespace {

// The note that an unlock found the encrypted tree changed (kept: the vault
// is then mounted shared from that unlock on, until the user chooses
// otherwise). The record of the tree itself is a file beside the settings;
// "lockedTree" is where an earlier version kept a digest of it, removed when
// seen.
constexpr std::string_view kOldLockedTreeKey = "lockedTree";
constexpr std::string_view kChangedWhileLockedKey = "changedWhileLocked";

// This computer's record of the vault's encrypted tree at its last lock, and
// where it is set aside while the vault is unlocked; empty without a
// settings folder.
struct LockedTreeFiles {
    fs::path record;
    fs::path previous;
};

LockedTreeFiles lockedTreeFiles(const Vault& vault, const VaultPreferences& prefs) {
    const std::string key = vault.config().id.text() + '\n' + vault.image().lexically_normal().string();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(key.data(), key.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 8; ++i) {
        name += hex[digest[i] >> 4];
        name += hex[digest[i] & 0x0F];
    }
    const fs::path dir = prefs.file().parent_path() / "locked-trees";
    return {dir / (name + ".tree"), dir / (name + ".open")};
}

void dropOldDigest(const Vault& vault, VaultPreferences& prefs) {
    try {
        if (prefs.value(vault.config().id.text(), kOldLockedTreeKey).has_value())
            prefs.remove(vault.config().id.text(), kOldLockedTreeKey);
    } catch (const std::exception&) {
    }
}

// The vault is mounted: from now on this computer writes the tree itself.
void suspendLockedTree(const Vault& vault) {
    auto prefs = Vault::preferences();
    if (!prefs) return;
    try {
        const auto files = lockedTreeFiles(vault, *prefs);
        if (!files.record.empty()) LockedTree::suspend(files.record, files.previous);
    } catch (const std::exception&) {
    }
}

} // namespace

void Vault::recordLockedTree(const Vault& vault) {
    auto prefs = Vault::preferences();
    if (!prefs) return;
    try {
        dropOldDigest(vault, *prefs);
        const auto files = lockedTreeFiles(vault, *prefs);
        if (files.record.empty()) return;
        ConfigStore::createPrivateDirectories(files.record.parent_path());
        if (!LockedTree::record(vault.image(), files.record, files.previous)) {
            // without a record nothing is concluded at the unlock
            ::unlink(files.record.c_str());
            ::unlink(files.previous.c_str());
        }
    } catch (const std::exception&) {
        // best effort, as above
    }
}

void Vault::noteChangesWhileLocked(const Vault& vault) {
    auto prefs = Vault::preferences();
    if (!prefs) return;
    try {
        const auto files = lockedTreeFiles(vault, *prefs);
        if (files.record.empty()) return;
        if (LockedTree::compare(vault.image(), files.record) != LockedTree::Finding::changed) return;
        const auto when = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
        prefs->setValue(vault.config().id.text(), kChangedWhileLockedKey,
                        static_cast<long long>(when.time_since_epoch().count()));
    } catch (const std::exception&) {
    }
}

MountModePolicy::Decision Vault::mountModeDecision() const {
    auto synced = SyncedFolders::find(dir_);
    if (!synced) {
        if (const auto prefs = preferences();
            prefs && prefs->value(config().id.text(), kChangedWhileLockedKey).has_value())
            synced = SyncedFolders::Finding{SyncedFolders::Finding::Kind::changes, {}, dir_,
                                            "encrypted files changed while the vault was locked"};
    }
    return MountModePolicy::decide(mountModeChoice(), std::move(synced));
}

void Vault::forgetThisComputersRecords() const {
    auto prefs = preferences();
    if (!prefs) return;
    try {
        const auto files = lockedTreeFiles(*this, *prefs);
        if (!files.record.empty()) {
            ::unlink(files.record.c_str());
            ::unlink(files.previous.c_str());
        }
        prefs->forget(config().id.text());
    } catch (const std::exception&) {
    }
}

void Vault::setMountModeChoice(MountModePolicy::Choice choice) {
    auto prefs = preferences();
    if (!prefs) throw VaultError::io("this computer's vault settings have no folder");
    try {
        if (choice == MountModePolicy::Choice::automatic)
            prefs->remove(config().id.text(), MountModePolicy::preferenceKey);
        else
            prefs->setValue(config().id.text(), MountModePolicy::preferenceKey,
                            std::string(MountModePolicy::name(choice)));
    } catch (const std::system_error& e) {
        throw VaultError::io(e.what());
    }
}

std::vector<DiskImage::MountState> Vault::mountStates(const std::vector<std::shared_ptr<Vault>>& vaults) {
    // Two places a vault (its visible folder, its outside folder), both asked.
    std::vector<DiskImage::MountState> states(vaults.size(), DiskImage::MountState::notMounted);
    std::vector<bool> asked(vaults.size(), false);
    for (std::size_t i = 0; i < vaults.size(); ++i) {
        if (asked[i] || !vaults[i]) continue;
        // every vault on the same driver as vaults[i], in one question
        DiskImage* driver = vaults[i]->driver().get();
        std::vector<std::size_t> group;
        std::vector<fs::path> paths;
        for (std::size_t j = i; j < vaults.size(); ++j) {
            if (asked[j] || !vaults[j] || vaults[j]->driver().get() != driver) continue;
            asked[j] = true;
            group.push_back(j);
            paths.push_back(vaults[j]->mountPoint());
            paths.push_back(vaults[j]->outsideFolder());
        }
        const auto answers = driver->mountStates(paths);
        for (std::size_t k = 0; k < group.size() && 2 * k + 1 < answers.size(); ++k)
            states[group[k]] =
                answers[2 * k] != DiskImage::MountState::notMounted ? answers[2 * k] : answers[2 * k + 1];
    }
    return states;
}

void Vault::replaceConfig(VaultConfig config) {
    std::lock_guard lock(mutex_);
    config_ = std::move(config);
}

void Vault::replaceConfigAndSave(VaultConfig config) {
    replaceConfig(config);
    ConfigStore::save(config, configURL(), backupURL(dir_));
}

void Vault::setVerifiedPassword(const std::string& password) {
    std::lock_guard lock(mutex_);
    if (verifiedPassword_ && !verifiedPassword_->empty())
        OPENSSL_cleanse(verifiedPassword_->data(), verifiedPassword_->size());
    verifiedPassword_ = password;
}

void Vault::clearVerifiedPassword() {
    std::lock_guard lock(mutex_);
    if (verifiedPassword_ && !verifiedPassword_->empty())
        OPENSSL_cleanse(verifiedPassword_->data(), verifiedPassword_->size());
    verifiedPassword_.reset();
}

bool Vault::verifiedPasswordEquals(std::string_view password) const {
    std::lock_guard lock(mutex_);
    return verifiedPassword_ && verifiedPassword_->size() == password.size() &&
           CRYPTO_memcmp(verifiedPassword_->data(), password.data(), password.size()) == 0;
}

// ---------------------------------------------------------------- lifecycle

std::shared_ptr<Vault> Vault::open(const fs::path& dir, std::shared_ptr<DiskImage> driver) {
    auto config = loadRecord(dir);
    if (!config) throw VaultError::configMissing((dir / "vault.json").string());
    return std::make_shared<Vault>(dir, std::move(*config), std::move(driver));
}

std::shared_ptr<Vault> Vault::create(const fs::path& parent, std::string_view nameIn,
                                     const std::string& password, const Mnemonic& mnemonic,
                                     const Progress& progress, std::shared_ptr<DiskImage> driver) {
    if (!driver) driver = DiskImage::platformDefault();
    auto report = [&](const char* key) {
        if (progress) progress(key);
    };

    // 1. The name.
    const std::string name = creationName(nameIn);

    // 2. The password rule.
    validate(password);

    // 3.-5. The two folders.
    const fs::path mountPoint = parent / name;
    const fs::path dir = parent / ("." + name + std::string(dirSuffix));
    const NewFolders made = makeFolders(dir, mountPoint, *driver);
    const bool mountPointExisted = made.mountPointExisted;

    auto removeMadeMountPoint = [&] {
        if (mountPointExisted) return;
        ::chmod(mountPoint.c_str(), 0755);
        std::error_code ignored;
        fs::remove(mountPoint, ignored);
    };

    // 6.-7. The vault directory and the record. What this call made so far is
    //    removed again when these steps fail, so a retry is not blocked.
    std::shared_ptr<Vault> vault;
    std::optional<X25519PrivateKey> recoveryKey;
    std::optional<fs::path> backup;
    bool dirMade = false;
    try {
        if (::mkdir(dir.c_str(), 0700) != 0)
            throw fs::filesystem_error("cannot create the vault directory", dir,
                                       std::error_code(errno, std::generic_category()));
        dirMade = true;
        if (::chmod(dir.c_str(), 0700) != 0)
            throw fs::filesystem_error("cannot set the mode of", dir,
                                       std::error_code(errno, std::generic_category()));
        // Both new folders are entries of the parent: flushed now, or a power
        // cut could take the whole vault away after it was reported made.
        ConfigStore::syncParent(dir);

        recoveryKey.emplace(mnemonic.recoveryKey());
        vault = std::make_shared<Vault>(dir, firstRecord(name, password, *recoveryKey), driver);
        backup = backupURL(dir);
    } catch (...) {
        if (dirMade) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
        removeMadeMountPoint();
        throw;
    }

    const VaultConfig config = vault->config();
    const fs::path image = vault->image();
    const std::string markerText = config.id.text();
    bool saveTried = false;
    try {
        // 8. The encrypted image.
        report("create");
        driver->create(image, password, std::string(volumeName));

        // 9. The record, to all three copies.
        saveTried = true;
        ConfigStore::save(config, vault->configURL(), backup);

        // 10. The note for whoever finds the folder.
        try {
            ConfigStore::writeAtomically(dir / "README.txt", readmeText(name, driver->readmeHowToOpen()),
                                         0644);
        } catch (const std::system_error& e) {
            throw VaultError::io(e.what());
        }

        // 11.-13. First attach, marker, and keep the volume out of the search index.
        report("verify");
        vault->attachPrepared(password);
        const fs::path open = vault->openFolder();
        try {
            ConfigStore::writeAtomically(open / markerName, markerText, 0600);
        } catch (const std::system_error& e) {
            throw VaultError::io(e.what());
        }
        int fd = ::open((open / noIndexName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);

        // 14.-16. A full lock, the password against the closed image, and attach again.
        vault->lock(false);
        if (!driver->checkPassword(image, password)) throw VaultError::wrongPassword();
        if (vault->mountState() != DiskImage::MountState::mounted) {
            vault->releaseForeignAttachment();
            vault->attachPrepared(password);
        }

        // 17. The volume mounted again is this vault's.
        std::string marker;
        try {
            marker = readFile(vault->openFolder() / markerName);
        } catch (const std::system_error& e) {
            throw VaultError::io(e.what());
        }
        if (marker != markerText) throw VaultError::io("marker mismatch");

        // 18. The record on disk loads.
        auto loaded = loadRecord(dir);
        if (!loaded) throw VaultError::configMissing(vault->configURL().string());

        // 19. The recovery phrase gives the password back.
        if (loaded->recoveryBlobs.empty()) throw VaultError::recoveryFailed();
        WipedString opened{Sealing::open(loaded->recoveryBlobs.front(), *recoveryKey)};
        if (opened.value.size() != password.size() ||
            CRYPTO_memcmp(opened.value.data(), password.data(), password.size()) != 0)
            throw VaultError::recoveryFailed();
    } catch (...) {
        try {
            if (auto a = driver->attachment(image)) driver->detach(a->detachTarget, true);
        } catch (...) {
        }
        try {
            OutsideFolder::removeIfEmpty(vault->outsideFolder());
        } catch (...) {
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        removeMadeMountPoint();
        // The third copy belongs to the vault that is gone.
        if (saveTried && backup) fs::remove(*backup, ignored);
        throw;
    }

    report("done");
    return vault;
}

void Vault::unlock(const std::string& password) {
    if (mountState() == DiskImage::MountState::mounted) return;
    releaseForeignAttachment();
    attachPrepared(password);
}

void Vault::attachPrepared(const std::string& password) {
    // A mount whose daemon is gone answers every access with an error: take
    // it away (lazily, so nothing can block) before the folder is looked at.
    const fs::path visible = mountPoint();
    const fs::path outside = outsideFolder();
    const auto states = driver_->mountStates({visible, outside});
    for (std::size_t i = 0; i < states.size() && i < 2; ++i)
        if (states[i] == DiskImage::MountState::stale) driver_->detach((i == 0 ? visible : outside).string(), true);
    noteChangesWhileLocked(*this);
    const auto mode = mountModeDecision().mode;
    const fs::path mp = placeForMount();
    const bool elsewhere = mp != visible;
    // A folder left outside by an earlier unlock (a crash) goes once unused.
    if (!elsewhere) OutsideFolder::removeIfEmpty(outside);
    struct stat before {};
    const bool known = ::stat(mp.c_str(), &before) == 0;
    try {
        driver_->attach(image(), password, mp, mode);
    } catch (...) {
        if (elsewhere) OutsideFolder::removeIfEmpty(mp);
        throw;
    }
    if (!driver_->isMountPoint(mp)) {
        // The driver made the folder writable for the mount; nothing is
        // mounted, so it is the locked folder again.
        if (known) ::chmod(mp.c_str(), before.st_mode & 07777);
        if (elsewhere) OutsideFolder::removeIfEmpty(mp);
        throw VaultError::io("mount point not active after attach");
    }
    if (elsewhere) {
        // No sync client sees this folder; the visible one was not touched.
        suspendLockedTree(*this);
        setVerifiedPassword(password);
        return;
    }
    // A client that reads an attribute of the folder now reads the volume
    // root's: the exclusion must be there too, or the volume is taken away.
    try {
        SyncExclusion::apply(mp);
    } catch (...) {
        try {
            if (auto a = driver_->attachment(image())) driver_->detach(a->detachTarget, true);
        } catch (...) {
        }
        if (known) ::chmod(mp.c_str(), before.st_mode & 07777);
        throw;
    }
    // From now on this computer writes the tree itself: the next lock records it.
    suspendLockedTree(*this);
    setVerifiedPassword(password);
}

fs::path Vault::placeForMount() {
    const fs::path mp = mountPoint();
    auto outside = [this] {
        const fs::path place = outsideFolder();
        OutsideFolder::prepare(place);
        return place;
    };
    // Whatever is mounted here is decrypted: keep sync clients out first.
    // A client that cannot be kept out (no exclusion it offers, or one that
    // does not write or read back) never sees the volume: it opens outside.
    try {
        SyncExclusion::apply(mp);
    } catch (const VaultError& e) {
        if (e.kind() != VaultError::Case::io) throw;
        return outside();
    }
    struct stat st {};
    if (::lstat(mp.c_str(), &st) != 0) {
        fs::create_directory(mp);
        // ...and those that read an attribute of the folder, now it exists.
        try {
            SyncExclusion::apply(mp);
        } catch (const VaultError& e) {
            if (e.kind() != VaultError::Case::io) throw;
            ::chmod(mp.c_str(), 0555); // the locked folder it now is
            return outside();
        }
        return mp;
    }
    if (S_ISDIR(st.st_mode)) {
        auto items = visibleItems(mp);
        if (!items.empty()) throw VaultError::mountPointNotEmpty(std::move(items));
        return mp;
    }
    throw VaultError::alreadyExists(mp.string());
}

void Vault::lock(bool force) {
    const fs::path visible = mountPoint();
    const fs::path outside = outsideFolder();
    const fs::path mp = openFolder();
    auto a = driver_->attachment(image());
    if (!a) {
        if (driver_->isMountPoint(mp)) throw VaultError::io("volume mounted but image not attached");
    } else {
        for (int attempt = 0;; ++attempt) {
            try {
                driver_->detach(a->detachTarget, force);
                break;
            } catch (const VaultError& e) {
                if (e.kind() != VaultError::Case::busy) throw;
            }
            if (!driver_->isMountPoint(mp)) {
                // The volume is gone; only the image is still held.
                driver_->detach(a->detachTarget, true);
                break;
            }
            if (attempt == 2) throw VaultError::busy(driver_->busyProcesses(mp));
            std::this_thread::sleep_for(std::chrono::milliseconds(700 * (attempt + 1)));
        }
    }
    clearVerifiedPassword();
    ::chmod(visible.c_str(), 0555);
    OutsideFolder::removeIfEmpty(outside);
    if (a) recordLockedTree(*this);
}

void Vault::releaseForeignAttachment() {
    const auto ours = driver_->areMountPoints({mountPoint(), outsideFolder()});
    if (std::find(ours.begin(), ours.end(), true) != ours.end()) return;
    auto a = driver_->attachment(image());
    if (!a) return;
    try {
        driver_->detach(a->detachTarget, false);
    } catch (const std::exception&) {
        throw VaultError::openedElsewhere();
    }
}

void Vault::confirm(const std::string& password) {
    if (isUnlocked()) {
        if (verifiedPasswordEquals(password)) return;
        // Unlocked by another process (nothing remembered here), or the
        // password was changed elsewhere since: the image decides.
        confirmWithImage(password);
        return;
    }
    releaseForeignAttachment();
    if (!driver_->checkPassword(image(), password)) throw VaultError::wrongPassword();
}

void Vault::confirmWithImage(const std::string& password) {
    if (!driver_->checkPassword(image(), password)) throw VaultError::wrongPassword();
    if (isUnlocked()) setVerifiedPassword(password);
}

std::vector<std::string> Vault::busyProcesses() const {
    return driver_->busyProcesses(openFolder());
}

std::optional<fs::path> Vault::conflictControlSocket() const {
    return driver_->mountControlSocket(image());
}

DiskImage::DataCheck Vault::checkData(const std::string& password) {
    if (isUnlocked()) throw VaultError::notLocked();
    return driver_->checkData(image(), password);
}

} // namespace vaultkit
