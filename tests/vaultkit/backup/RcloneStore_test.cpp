// The rclone store against a real WebDAV server on the loopback interface
// (rclone serve webdav, started by the test), through a remote of an rclone
// configuration the test writes, as a user's would be.
#include "backup/support/BackupFixture.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include "vaultkit/backup/BandSync.h"
#include "vaultkit/backup/RcloneStore.h"
#include "vaultkit/backup/StoreLocation.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vaultkit;
using namespace backuptest;
namespace fs = std::filesystem;

namespace {

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool answers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class RcloneStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists("/usr/bin/rclone")) GTEST_SKIP() << "rclone is not installed";
        fs::create_directories(tmp / "served");
        fs::create_directories(tmp / "home");
        fs::create_directories(tmp / "restored");
        port = freePort();
        server = std::make_unique<vaulttest::ChildProcess>(std::vector<std::string>{
            "/usr/bin/rclone", "serve", "webdav", (tmp / "served").string(), "--addr",
            "127.0.0.1:" + std::to_string(port), "--config", "/dev/null", "--quiet"});
        ASSERT_TRUE(vaulttest::waitUntil([&] { return answers(port); }, 20))
            << "the WebDAV server did not start";
        vaulttest::writeFile(tmp / "rclone.conf", "[loop]\ntype = webdav\nurl = http://127.0.0.1:" +
                                                      std::to_string(port) + "\nvendor = other\n");
        ::setenv("RCLONE_CONFIG", (tmp / "rclone.conf").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("RCLONE_CONFIG"); }

    vaulttest::TempDir tmp{"hc-rclone"};
    int port = 0;
    std::unique_ptr<vaulttest::ChildProcess> server;
};

TEST_F(RcloneStoreTest, ObjectsGoThroughTheServerWhole) {
    RcloneStore store("loop:backups");
    EXPECT_TRUE(store.list("").empty());
    EXPECT_FALSE(store.get("a/b"));
    EXPECT_FALSE(store.exists("a/b"));
    const std::string bytes = randomBytes(300'000, 1) + std::string("\0\n\r", 3);
    store.put("a/b", bytes);
    store.put("c", "small");
    EXPECT_EQ(store.get("a/b"), bytes);
    EXPECT_TRUE(store.exists("a/b"));
    EXPECT_EQ(vaulttest::readFile(tmp / "served/backups/a/b"), bytes);
    auto keys = store.list("");
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"a/b", "c"})) << "no temporary upload is left";
    EXPECT_EQ(store.list("a/"), std::vector<std::string>{"a/b"});
    store.remove("a/b");
    store.remove("a/b");
    EXPECT_FALSE(store.exists("a/b"));
    EXPECT_EQ(store.describe(), "rclone:loop:backups");

    // A remote that is not in the configuration: a clear error.
    RcloneStore unknown("nosuchremote:x");
    try {
        unknown.put("k", "v");
        FAIL() << "no error";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::io);
        EXPECT_NE(std::string(e.what()).find("rclone:nosuchremote:x"), std::string::npos) << e.what();
    }
}

TEST_F(RcloneStoreTest, PushRestoreCheckAndPruneThroughTheRemote) {
    const fs::path vaultDir = makeVaultDir(tmp / "home", "Vault");
    writeBytes(vaultDir / "data.gocryptfs/a", randomBytes(SnapshotManifest::bandBytes + 10, 2));
    writeBytes(vaultDir / "data.gocryptfs/b", randomBytes(1000, 3));
    const auto store = StoreLocation::open("rclone:loop:vaults");
    BandSync sync(*store);
    const auto first = sync.push(vaultDir, {});
    EXPECT_EQ(first.bandsSent, first.bands - 1);
    const auto firstTree = treeOf(vaultDir);
    writeBytes(vaultDir / "data.gocryptfs/b", randomBytes(1000, 4));
    const auto second = sync.push(vaultDir, {});
    EXPECT_EQ(second.bandsSent, 1u);
    EXPECT_EQ(second.filesRead, 1u);

    EXPECT_TRUE(sync.check(true).ok());
    sync.restore(first.snapshot, tmp / "restored", "First");
    auto restored = treeOf(tmp / "restored/.First.hushcoffer");
    for (const char* record : {"vault.json", "vault.json.bak"})
        EXPECT_EQ(restored.count(record), 1u);
    EXPECT_EQ(restored["data.gocryptfs/a"], firstTree.at("data.gocryptfs/a"));
    EXPECT_EQ(restored["data.gocryptfs/b"], firstTree.at("data.gocryptfs/b"));

    // A band lost on the server is found.
    const auto manifest = SnapshotManifest::decode(*store->get("snapshots/" + second.snapshot + ".json"));
    std::string band;
    for (const auto& e : manifest.entries)
        if (e.path == "data.gocryptfs/b") band = e.bands[0];
    store->remove("bands/" + band.substr(0, 2) + "/" + band);
    EXPECT_FALSE(fs::exists(tmp / "served/vaults/bands" / band.substr(0, 2) / band));
    const auto report = sync.check(false);
    ASSERT_EQ(report.damage.size(), 1u);
    EXPECT_EQ(report.damage[0].path, "data.gocryptfs/b");

    BandSync::KeepRules rules;
    rules.last = 1;
    const auto pruned = sync.prune(rules);
    EXPECT_EQ(pruned.removed, std::vector<std::string>{first.snapshot});
    EXPECT_FALSE(pruned.bandsLeftForPush) << ::testing::PrintToString(store->list("locks/"));
    EXPECT_EQ(pruned.bandsRemoved, 1u) << "the first version of b";
    EXPECT_TRUE(store->list("locks/").empty());
}

} // namespace
