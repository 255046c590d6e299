#include "support/TestSupport.h"

#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/process/Exec.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vaulttest {

namespace fs = std::filesystem;

TempDir::TempDir(std::string_view tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/" + std::string(tag) + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + templ);
    // The real path, so that tests can compare it with what the system reports.
    path_ = fs::canonical(buf.data());
}

TempDir::~TempDir() {
    unmountAllBelow(path_);
    std::error_code ec;
    // Locked folders are read-only; make everything writable before removing.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ec);
}

int testScryptN() {
    if (const char* v = std::getenv("HC_TEST_SCRYPTN"); v && *v) {
        const int n = std::atoi(v);
        if (n >= 10) return n;
    }
    return 10;
}

std::shared_ptr<vaultkit::GocryptfsDiskImage> fastGocryptfs() {
    vaultkit::GocryptfsDiskImage::Options options;
    options.scryptN = testScryptN();
    return std::make_shared<vaultkit::GocryptfsDiskImage>(options);
}

fs::path makeImage(const fs::path& dir, const std::string& password, bool asIs) {
    const fs::path image = asIs ? dir : dir / vaultkit::GocryptfsDiskImage::imageFolderName;
    fastGocryptfs()->create(image, password, "test");
    return image;
}

void unmountAllBelow(const fs::path& dir) {
    const std::string base = dir.string();
    auto table = vaultkit::MountTable::read();
    // Innermost first.
    std::reverse(table.begin(), table.end());
    for (const auto& e : table) {
        if (e.mountPoint == base || e.mountPoint.rfind(base + "/", 0) == 0)
            vaultkit::Exec::runSync("/usr/bin/fusermount3", {"-u", "-z", "--", e.mountPoint}, std::nullopt,
                                    30);
    }
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void writeFile(const fs::path& file, std::string_view content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace vaulttest
