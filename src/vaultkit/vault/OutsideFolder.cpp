#include "vaultkit/vault/OutsideFolder.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/mountmode/SyncExclusion.h"
#include "vaultkit/mountmode/SyncedFolders.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

// Longest entry name most file systems take, in bytes.
constexpr std::size_t kNameMax = 255;

// `dir` made (0700) or found as this user's own real folder, then 0700.
void ownFolder(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw VaultError::io("cannot make " + dir.string() + ": " + std::strerror(errno));
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw VaultError::io(dir.string() + " is not a folder of this user, so the vault is not opened there");
    if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0)
        throw VaultError::io("cannot make " + dir.string() + " private: " + std::strerror(errno));
}

bool holdsAnything(const fs::path& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return true; // what cannot be listed is not taken as empty
    bool any = false;
    while (const dirent* ent = ::readdir(d)) {
        const std::string_view n = ent->d_name;
        if (n != "." && n != "..") {
            any = true;
            break;
        }
    }
    ::closedir(d);
    return any;
}

} // namespace

std::string OutsideFolder::entryName(std::string_view canonicalDir, std::string_view name) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(canonicalDir.data(), canonicalDir.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw VaultError::io("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string tail = "-";
    for (int i = 0; i < 4; ++i) {
        tail += hex[digest[i] >> 4];
        tail += hex[digest[i] & 0x0F];
    }
    std::string head(name);
    if (head.size() + tail.size() > kNameMax) {
        std::size_t cut = kNameMax - tail.size();
        // back to the first byte of a character (never between UTF-8 bytes)
        while (cut > 0 && (static_cast<unsigned char>(head[cut]) & 0xC0) == 0x80)
            --cut;
        head.resize(cut);
    }
    return head + tail;
}

fs::path OutsideFolder::base() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        struct stat st {};
        if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
            return fs::path(runtime) / "hushcoffer" / "vaults";
    }
    return fs::path("/tmp/hushcoffer-" + std::to_string(::geteuid())) / "vaults";
}

fs::path OutsideFolder::of(std::string_view canonicalDir, std::string_view name) {
    return base() / entryName(canonicalDir, name);
}

void OutsideFolder::prepare(const fs::path& place) {
    // The place must itself be out of every client's reach, or opening the
    // vault there would upload it just the same.
    if (const auto synced = SyncedFolders::find(place))
        throw VaultError::io(synced->client + " covers " + synced->root.string() + ", which holds " + place.string() +
                             ", so the vault is not opened there");
    for (const auto& entry : SyncExclusion::inspect(place).entries)
        throw VaultError::io(entry.client + " keeps " + entry.root.string() + " in sync, which holds " +
                             place.string() + ", so the vault is not opened there");
    ownFolder(place.parent_path().parent_path());
    ownFolder(place.parent_path());
    ownFolder(place);
    if (holdsAnything(place))
        throw VaultError::io(place.string() + " is not empty, so the vault is not opened there; nothing in it was "
                             "changed. Move what it holds away and unlock again.");
}

void OutsideFolder::removeIfEmpty(const fs::path& place) {
    struct stat st {};
    if (::lstat(place.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return;
    // rmdir takes neither a folder that holds something nor a mount point
    ::rmdir(place.c_str());
}

} // namespace vaultkit
