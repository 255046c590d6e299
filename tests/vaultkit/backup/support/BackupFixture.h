#pragma once
// Helpers of the backup engine's tests: vault directories with a real image
// folder and record whose encrypted files the tests write directly (the
// engine never looks inside them), and a description of a vault directory to
// compare a restore with its source.

#include "support/TestSupport.h"

#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/VaultConfig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace backuptest {

namespace fs = std::filesystem;

// Bytes that differ from file to file and from seed to seed.
inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t v = rng();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k)
            out[i + k] = static_cast<char>((v >> (8 * k)) & 0xff);
    }
    return out;
}

inline void writeBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    vaulttest::writeFile(file, bytes);
}

// Overwrites `bytes` at `offset` of an existing file.
inline void patch(const fs::path& file, std::size_t offset, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << file;
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// PARENT/.NAME.hushcoffer with a gocryptfs image folder, a record (its own
// id) in vault.json and vault.json.bak, and README.txt.
inline fs::path makeVaultDir(const fs::path& parent, const std::string& name) {
    const fs::path dir = parent / ("." + name + ".hushcoffer");
    fs::create_directories(dir);
    vaulttest::makeImage(dir, "password of the test image");
    vaultkit::VaultConfig config;
    config.id = vaultkit::Uuid::random();
    config.name = name;
    config.createdAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    config.recoveryPublicKey.assign(32, 7);
    vaultkit::ConfigStore::save(config, dir / "vault.json", std::nullopt);
    vaulttest::writeFile(dir / "README.txt", "This folder is a Hushcoffer vault.\n");
    return dir;
}

struct Item {
    char type = '?'; // f, d, l
    unsigned mode = 0;
    std::string content; // file bytes or link target
    std::int64_t mtimeNs = 0;
    friend bool operator==(const Item&, const Item&) = default;
};

// Every entry a snapshot holds: the records, README.txt and the image folder.
inline std::map<std::string, Item> treeOf(const fs::path& vaultDir) {
    std::map<std::string, Item> out;
    auto add = [&](const fs::path& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) return;
        Item item;
        item.mode = st.st_mode & 07777;
        item.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (S_ISDIR(st.st_mode)) {
            item.type = 'd';
        } else if (S_ISLNK(st.st_mode)) {
            item.type = 'l';
            item.content = fs::read_symlink(p).string();
        } else {
            item.type = 'f';
            item.content = vaulttest::readFile(p);
        }
        out[p.lexically_relative(vaultDir).generic_string()] = item;
    };
    for (const char* name : {"vault.json", "vault.json.bak", "README.txt", "data.gocryptfs"})
        add(vaultDir / name);
    if (fs::is_directory(vaultDir / "data.gocryptfs"))
        for (const auto& e : fs::recursive_directory_iterator(vaultDir / "data.gocryptfs"))
            add(e.path());
    return out;
}

// The paths where two trees differ, for failure messages.
inline std::string differences(const std::map<std::string, Item>& a, const std::map<std::string, Item>& b) {
    std::string out;
    for (const auto& [path, item] : a) {
        const auto it = b.find(path);
        if (it == b.end())
            out += " missing:" + path;
        else if (!(it->second == item))
            out += " differs:" + path;
    }
    for (const auto& [path, item] : b)
        if (!a.count(path)) out += " extra:" + path;
    return out;
}

// Expects a restored vault directory to equal its source; the restored
// record differs in its name alone (the restore names the vault).
inline void expectSameTree(std::map<std::string, Item> actual, std::map<std::string, Item> expected) {
    for (const char* record : {"vault.json", "vault.json.bak"}) {
        EXPECT_EQ(actual.count(record), expected.count(record)) << record;
        actual.erase(record);
        expected.erase(record);
    }
    EXPECT_TRUE(actual == expected) << differences(expected, actual);
}

} // namespace backuptest
