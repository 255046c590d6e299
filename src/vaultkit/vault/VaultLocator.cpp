#include "vaultkit/vault/VaultLocator.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"

#include <optional>
#include <string>
#include <system_error>

namespace vaultkit {

namespace fs = std::filesystem;

std::vector<fs::path> VaultLocator::candidates(const fs::path& picked) {
    const fs::path path = Registry::standardized(picked);
    std::vector<fs::path> out;
    auto consider = [&](const fs::path& p) {
        if (Vault::isVaultDirName(p.filename().string())) out.push_back(p);
    };
    consider(path);
    consider(path.parent_path());
    consider(path.parent_path() / ("." + path.filename().string() + std::string(Vault::dirSuffix)));
    return out;
}

std::shared_ptr<Vault> VaultLocator::open(const fs::path& picked, std::shared_ptr<DiskImage> driver) {
    std::optional<VaultError> firstError;
    for (const auto& dir : candidates(picked)) {
        try {
            return Vault::open(dir, driver);
        } catch (const VaultError& e) {
            std::error_code ec;
            if (!firstError && fs::is_directory(dir, ec)) firstError = e;
        }
    }
    if (firstError) throw *firstError;
    throw NotAVault();
}

} // namespace vaultkit
