#pragma once

#include "vaultkit/backup/SyncStore.h"

#include <filesystem>

namespace vaultkit {

// A store in a folder of this computer (a second disk, a mounted network
// share). Each key is a file below the folder; puts are atomic and flushed
// to the disk (a temporary file in the same folder, flushed, renamed over the
// key, the folder flushed). The folder is made on the first put.
class LocalFolderStore : public SyncStore {
public:
    explicit LocalFolderStore(std::filesystem::path root);

    void put(const std::string& key, std::string_view bytes) override;
    std::optional<std::string> get(const std::string& key) override;
    std::vector<std::string> list(const std::string& prefix) override;
    void remove(const std::string& key) override;
    bool exists(const std::string& key) override;
    std::string describe() const override { return root_.string(); }

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path pathOf(const std::string& key) const;
    // Makes `dir` and its missing parents below the root, flushing the
    // folder that receives each new one.
    void makeFolders(const std::filesystem::path& dir);

    std::filesystem::path root_;
};

} // namespace vaultkit
