#include "vaultkit/mountmode/LockedTree.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace vaultkit {

std::string LockedTree::digest(const fs::path& imageDir) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return {};
    auto feed = [&](std::string_view bytes) {
        // the length first, so that no two sequences of parts read alike
        const unsigned long long n = bytes.size();
        EVP_DigestUpdate(ctx.get(), &n, sizeof n);
        EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size());
    };
    std::vector<std::string> pending{""}; // folders below imageDir, relative
    bool first = true;
    while (!pending.empty()) {
        const std::string rel = pending.back();
        pending.pop_back();
        const fs::path dir = rel.empty() ? imageDir : imageDir / rel;
        struct stat st {};
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            if (first) return {};
            continue; // went away during the walk: the digest differs anyway
        }
        first = false;
        DIR* d = ::opendir(dir.c_str());
        if (!d) return {};
        std::vector<std::pair<std::string, bool>> entries;
        while (const dirent* e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            if (name == "." || name == "..") continue;
            bool isDir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN) {
                struct stat est {};
                isDir = ::lstat((dir / std::string(name)).c_str(), &est) == 0 && S_ISDIR(est.st_mode);
            }
            entries.emplace_back(std::string(name), isDir);
        }
        ::closedir(d);
        std::sort(entries.begin(), entries.end());
        feed(rel);
        char mtime[48];
        std::snprintf(mtime, sizeof mtime, "%lld.%09ld", static_cast<long long>(st.st_mtim.tv_sec),
                      static_cast<long>(st.st_mtim.tv_nsec));
        feed(mtime);
        for (const auto& entry : entries) {
            feed(entry.first);
            if (entry.second) pending.push_back(rel.empty() ? entry.first : rel + "/" + entry.first);
        }
        feed("|");
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &len) != 1) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < len; ++i) {
        text += hex[out[i] >> 4];
        text += hex[out[i] & 15];
    }
    return text;
}

} // namespace vaultkit
