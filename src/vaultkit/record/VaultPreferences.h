#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vaultkit {

// Choices this computer's user made for a vault that are not part of the
// vault record (vault.json is read by other programs and gets no keys of
// ours): the file "vault-settings.json" in the application's support folder,
// one JSON object per vault id, e.g.
//   {"9F0C…": {"mountMode": "local"}}
// Shared by the application and the command-line tool, which may both change
// it at the same time: every read goes to the disk, and every change is a
// read-modify-write of the whole file under an exclusive lock on a lock file
// beside it, written atomically (mode 0600). Vaults and keys this version does
// not know are kept as they are.
class VaultPreferences {
public:
    static constexpr std::string_view fileName = "vault-settings.json";

    explicit VaultPreferences(std::filesystem::path supportDir);

    // The value stored for the vault under key; nothing when there is none or
    // the file is missing or damaged (a damaged file reads as empty).
    std::optional<nlohmann::json> value(const std::string& vaultId, std::string_view key) const;
    // Stores value (replacing what was there). A damaged file is first set
    // aside as "vault-settings.json.unreadable-<UTC time>" (never silently
    // overwritten) and a new one is started. Throws std::system_error.
    void setValue(const std::string& vaultId, std::string_view key, const nlohmann::json& value);
    // Removes one key; the vault's entry goes when it has no keys left.
    // Nothing is written when there was nothing to remove.
    void remove(const std::string& vaultId, std::string_view key);
    // Removes every key of the vault (when the vault is forgotten).
    void forget(const std::string& vaultId);

    // The text stored under key, when it is one.
    std::optional<std::string> text(const std::string& vaultId, std::string_view key) const;

    std::filesystem::path file() const { return dir_ / fileName; }

private:
    // Runs change on the file's object under the lock and writes the result
    // when change returns true.
    template <typename Change> void update(Change&& change);

    std::filesystem::path dir_;
};

} // namespace vaultkit
