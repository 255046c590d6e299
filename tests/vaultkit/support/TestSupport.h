#pragma once

#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Helpers shared by the vault library's tests.
namespace vaulttest {

// A fresh, empty directory under $TMPDIR (else /tmp), removed with all its
// content when the object goes. Mounts left below it by a failed test are
// lazily unmounted first, so one failure does not leave mounts behind.
class TempDir {
public:
    explicit TempDir(std::string_view tag = "hc");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

private:
    std::filesystem::path path_;
};

// The scrypt cost test images use: HC_TEST_SCRYPTN when set, else 10 (the
// lowest gocryptfs takes), so that making and opening images is fast.
int testScryptN();

// A gocryptfs driver with default tool paths and the test scrypt cost.
std::shared_ptr<vaultkit::GocryptfsDiskImage> fastGocryptfs();

// Makes an image folder `dir`/data.gocryptfs (or `dir` itself when `asIs`)
// with `password`, through the fast driver, and returns its path.
std::filesystem::path makeImage(const std::filesystem::path& dir, const std::string& password,
                                bool asIs = false);

// Lazily unmounts (fusermount3 -u -z) every mount at or below `dir`.
void unmountAllBelow(const std::filesystem::path& dir);

// Polls `condition` every 10 ms until it holds or `seconds` pass; returns
// whether it held.
bool waitUntil(const std::function<bool()>& condition, double seconds);

// Small file helpers (throw std::runtime_error on failure).
void writeFile(const std::filesystem::path& file, std::string_view content);
std::string readFile(const std::filesystem::path& file);

} // namespace vaulttest
