#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/ConfigStore.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& p, const std::string& s) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << s;
}

VaultConfig record(const std::string& name, std::int64_t idle = 0) {
    VaultConfig c;
    c.id = *Uuid::parse("11111111-2222-4333-8444-555555555555");
    c.name = name;
    c.createdAt = ConfigCoding::parseDate("2025-06-07T08:09:10Z").value();
    c.recoveryPublicKey = std::vector<std::uint8_t>(32, 7);
    c.recoveryBlobs = {SealedSecret{std::vector<std::uint8_t>(32, 1), std::vector<std::uint8_t>(60, 2)}};
    c.autoLock.idleMinutes = idle;
    return c;
}

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hc-store-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        dir = root / ".v.hushcoffer";
        fs::create_directory(dir);
        url = dir / "vault.json";
        bak = dir / "vault.json.bak";
        extra = root / "support" / "backups" / "vault-0123456789abcdef.json";
    }
    void TearDown() override {
        ConfigStore::setStepHookForTesting({});
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::vector<fs::path> candidates() const { return {url, bak, extra}; }
    // Files in dir other than the record and its copy (leftover temporaries).
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(dir)) {
            auto n = e.path().filename().string();
            if (n != "vault.json" && n != "vault.json.bak") out.push_back(n);
        }
        return out;
    }

    fs::path root, dir, url, bak, extra;
};

} // namespace

TEST_F(ConfigStoreTest, SaveWritesThreeIdenticalPrivateCopies) {
    ConfigStore::save(record("A"), url, extra);
    const std::string bytes = readAll(url);
    EXPECT_EQ(bytes, ConfigCoding::encode(record("A")));
    EXPECT_EQ(readAll(bak), bytes);
    EXPECT_EQ(readAll(extra), bytes) << "missing backup folders are created";
    EXPECT_EQ(modeOf(url), 0600u);
    EXPECT_EQ(modeOf(bak), 0600u);
    EXPECT_EQ(modeOf(extra), 0600u);
    EXPECT_TRUE(strayFiles().empty());

    // Without an extra copy only the two files in the vault change.
    ConfigStore::save(record("B"), url, std::nullopt);
    EXPECT_EQ(ConfigStore::load({url})->name, "B");
    EXPECT_EQ(ConfigStore::load({bak})->name, "B");
    EXPECT_EQ(ConfigStore::load({extra})->name, "A");
}

TEST_F(ConfigStoreTest, FailureOfVaultJsonStopsBeforeTheCopies) {
    ConfigStore::save(record("old"), url, extra);
    fs::remove(url);
    fs::create_directory(url); // renaming a file over a folder fails
    try {
        ConfigStore::save(record("new"), url, extra);
        FAIL() << "save succeeded";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::io);
        EXPECT_NE(e.payload().at(0).find("vault.json"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ConfigStore::load({bak})->name, "old") << ".bak is not tried after vault.json failed";
    EXPECT_EQ(ConfigStore::load({extra})->name, "old") << "no backup copy after a failure";
    EXPECT_TRUE(strayFiles().empty()) << "the temporary file is removed";
}

TEST_F(ConfigStoreTest, FailureOfBakIsReportedAndSkipsTheBackupCopy) {
    ConfigStore::save(record("old"), url, extra);
    fs::remove(bak);
    fs::create_directories(bak / "occupied");
    EXPECT_THROW(ConfigStore::save(record("new"), url, extra), VaultError);
    EXPECT_EQ(ConfigStore::load({url})->name, "new");
    EXPECT_EQ(ConfigStore::load({extra})->name, "old");
}

TEST_F(ConfigStoreTest, FailuresOfTheBackupCopyAreIgnored) {
    // The backup folder cannot be made: its parent is a file.
    writeAll(root / "support", "a file");
    EXPECT_NO_THROW(ConfigStore::save(record("A"), url, extra));
    EXPECT_EQ(ConfigStore::load({url})->name, "A");
    EXPECT_EQ(ConfigStore::load({bak})->name, "A");
}

TEST_F(ConfigStoreTest, LoadTakesTheFirstGoodCandidateAndRepairsNothing) {
    ConfigStore::save(record("A"), url, extra);
    writeAll(url, "{ not json");
    ConfigStore::save(record("B"), bak.parent_path() / "other.json", std::nullopt);
    fs::copy_file(dir / "other.json", bak, fs::copy_options::overwrite_existing);
    auto loaded = ConfigStore::load(candidates());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->name, "B") << ".bak comes before the backup copy";
    EXPECT_EQ(readAll(url), "{ not json") << "loading rewrites nothing";

    fs::remove(bak);
    EXPECT_EQ(ConfigStore::load(candidates())->name, "A");
    fs::remove(extra);
    EXPECT_FALSE(ConfigStore::load(candidates()));
    EXPECT_FALSE(ConfigStore::load({}));
}

TEST_F(ConfigStoreTest, WriteAtomicallyKeepsTheModeAndReplacesContent) {
    const fs::path f = dir / "README.txt";
    ConfigStore::writeAtomically(f, "one", 0644);
    EXPECT_EQ(modeOf(f), 0644u);
    ConfigStore::writeAtomically(f, "", 0600);
    EXPECT_EQ(readAll(f), "");
    EXPECT_EQ(modeOf(f), 0600u);
    EXPECT_THROW(ConfigStore::writeAtomically(root / "missing" / "x", "y"), std::system_error);
}

// A writer killed at every step of a save (after the temporary file is
// written, after it is flushed, after the rename, after the folder flush; for
// each of the three files) always leaves a record that loads, and it is
// either the old record or the new one.
TEST_F(ConfigStoreTest, KilledWriterAtEveryStepLeavesALoadableRecord) {
    const VaultConfig oldRecord = record("old", 1);
    const VaultConfig newRecord = record("new", 2);
    const std::vector<std::string> steps{"written", "synced", "renamed", "directorySynced"};
    for (int file = 0; file < 3; ++file) {
        for (const auto& stepName : steps) {
            ConfigStore::save(oldRecord, url, extra);
            const fs::path target = file == 0 ? url : file == 1 ? bak : extra;
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ConfigStore::setStepHookForTesting([&](std::string_view s, const fs::path& t) {
                    if (s == stepName && t == target) ::raise(SIGKILL);
                });
                try {
                    ConfigStore::save(newRecord, url, extra);
                } catch (...) {
                }
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFSIGNALED(status)) << stepName << " file " << file;
            for (const auto& candidate : candidates()) {
                auto loaded = ConfigStore::load({candidate});
                ASSERT_TRUE(loaded) << candidate << " after a kill at " << stepName;
                EXPECT_TRUE(*loaded == oldRecord || *loaded == newRecord);
            }
            // What a fresh open sees: vault.json is new once its rename happened.
            const bool vaultJsonDone = file > 0 || stepName == "renamed" || stepName == "directorySynced";
            EXPECT_EQ(*ConfigStore::load(candidates()), vaultJsonDone ? newRecord : oldRecord) << stepName;
            for (auto& e : fs::directory_iterator(dir))
                if (e.path().filename().string().find(".tmp-") != std::string::npos) fs::remove(e.path());
        }
    }
}

// The same without hooks: a child saving in a loop, killed at random moments.
TEST_F(ConfigStoreTest, KilledAtRandomMomentsNeverLeavesAnUnreadableCopy) {
    ConfigStore::save(record("start"), url, extra);
    std::mt19937 rng(42);
    for (int round = 0; round < 40; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i)
                ConfigStore::save(record("loop", i % 1000), url, extra);
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(200, 20000)(rng));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        for (const auto& candidate : candidates())
            ASSERT_TRUE(ConfigStore::load({candidate})) << candidate << " round " << round;
    }
}
