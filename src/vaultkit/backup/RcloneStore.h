#pragma once

#include "vaultkit/backup/SyncStore.h"

#include <string>

namespace vaultkit {

// A store on any remote rclone reaches (S3-compatible object storage,
// WebDAV, SFTP, B2…), given as an rclone remote path "REMOTE:PATH" of the
// user's own rclone configuration (or a local path rclone takes as is). Each
// call runs the rclone tool once through Exec; the arguments hold only
// options and paths: credentials stay in the user's rclone configuration.
//
// A put uploads to a temporary name beside the key (starting with a dot, so
// never listed) and moves it onto the key, so a killed upload never leaves a
// part of an object under its key.
class RcloneStore : public SyncStore {
public:
    explicit RcloneStore(std::string remotePath, std::string tool = "/usr/bin/rclone");

    void put(const std::string& key, std::string_view bytes) override;
    std::optional<std::string> get(const std::string& key) override;
    std::vector<std::string> list(const std::string& prefix) override;
    void remove(const std::string& key) override;
    bool exists(const std::string& key) override;
    std::string describe() const override { return "rclone:" + remote_; }

private:
    std::string pathOf(const std::string& key) const;
    // The remote path of a path relative to the store's folder.
    std::string joined(const std::string& relative) const;
    [[noreturn]] void fail(const std::string& what, const std::string& key, const std::string& output) const;

    std::string remote_;
    std::string tool_;
};

} // namespace vaultkit
