// The backup engine on a local-folder store: vault directories with a real
// image folder whose encrypted files the tests write directly.
#include "backup/support/BackupFixture.h"
#include "support/ExpectVaultError.h"
#include "support/TestSupport.h"

#include "vaultkit/backup/BandSync.h"
#include "vaultkit/backup/LocalFolderStore.h"
#include "vaultkit/backup/StoreLease.h"
#include "vaultkit/error/VaultError.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sys/wait.h>

using namespace vaultkit;
using namespace backuptest;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t MiB = SnapshotManifest::bandBytes;

class BandSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tmp / "home");
        fs::create_directories(tmp / "restored");
        vaultDir = makeVaultDir(tmp / "home", "Vault");
        data = vaultDir / "data.gocryptfs";
        // Sizes around the band boundaries, a folder, a link, another mode.
        writeBytes(data / "empty", "");
        writeBytes(data / "one", "x");
        writeBytes(data / "below", randomBytes(MiB - 1, 1));
        writeBytes(data / "exact", randomBytes(MiB, 2));
        writeBytes(data / "above", randomBytes(MiB + 1, 3));
        writeBytes(data / "sub/big", randomBytes(3 * MiB + MiB / 2, 4));
        writeBytes(data / "sub/deeper/small", randomBytes(5000, 5));
        fs::create_directories(data / "sub/empty-folder");
        fs::create_symlink("c2VjcmV0IHRhcmdldA", data / "sub/link");
        ::chmod((data / "one").c_str(), 0640);
    }

    // Restores `snapshot` as PARENT/.NAME.hushcoffer and returns that path.
    fs::path restore(const std::string& snapshot, const std::string& name) {
        return sync.restore(snapshot, tmp / "restored", name).vaultDir;
    }

    vaulttest::TempDir tmp{"hc-backup"};
    fs::path vaultDir, data;
    LocalFolderStore store{tmp / "store"};
    BandSync sync{store};
};

TEST_F(BandSyncTest, PushThenRestoreGivesTheSameVaultDirectory) {
    const auto before = treeOf(vaultDir);
    const auto pushed = sync.push(vaultDir, {});
    // 0 + 1 + 1 + 1 + 2 + 4 + 1 bands for the data, one for each small file of
    // the image (gocryptfs.conf, the folder IVs) and the records.
    std::uint64_t bytes = 0;
    std::size_t files = 0;
    for (const auto& [path, item] : before)
        if (item.type == 'f') {
            bytes += item.content.size();
            ++files;
        }
    EXPECT_EQ(pushed.bytes, bytes);
    EXPECT_EQ(pushed.files, files);
    EXPECT_EQ(pushed.filesRead, files);
    EXPECT_EQ(pushed.bandsSent, pushed.bands - 1) << "vault.json and vault.json.bak are one band";

    const auto list = sync.list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, pushed.snapshot);
    EXPECT_EQ(list[0].vaultName, "Vault");

    const fs::path restored = restore(pushed.snapshot, "Copy");
    EXPECT_EQ(restored, tmp / "restored/.Copy.hushcoffer");
    expectSameTree(treeOf(restored), before);
    const auto original = ConfigStore::load({vaultDir / "vault.json"});
    for (const char* record : {"vault.json", "vault.json.bak"}) {
        const auto config = ConfigStore::load({restored / record});
        ASSERT_TRUE(config) << record;
        EXPECT_EQ(config->name, "Copy");
        EXPECT_EQ(config->id, original->id);
        EXPECT_EQ(config->recoveryPublicKey, original->recoveryPublicKey);
    }
    EXPECT_TRUE(sync.check(true).ok());
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp / "restored"), fs::directory_iterator()), 1);
}

TEST_F(BandSyncTest, LaterPushesSendOnlyWhatChangedAndEachSnapshotRestoresItsMoment) {
    const auto first = sync.push(vaultDir, {});
    const auto firstTree = treeOf(vaultDir);

    const auto unchanged = sync.push(vaultDir, {});
    EXPECT_EQ(unchanged.bandsSent, 0u);
    EXPECT_EQ(unchanged.filesRead, 0u) << "unchanged files are taken from the previous snapshot";
    EXPECT_EQ(unchanged.bands, first.bands);

    // One band in the middle of a large file, a new file, a removed one.
    patch(data / "sub/big", 2 * MiB + 10, "changed");
    writeBytes(data / "new", randomBytes(100, 9));
    fs::remove(data / "above");
    const auto changed = sync.push(vaultDir, {});
    EXPECT_EQ(changed.bandsSent, 2u);
    EXPECT_EQ(changed.filesRead, 2u);
    const auto changedTree = treeOf(vaultDir);

    // Reading everything again finds the same bands.
    BandSync::PushOptions reread;
    reread.rereadAll = true;
    const auto again = sync.push(vaultDir, reread);
    EXPECT_EQ(again.bandsSent, 0u);
    EXPECT_GT(again.filesRead, 8u);

    expectSameTree(treeOf(restore(first.snapshot, "First")), firstTree);
    expectSameTree(treeOf(restore(unchanged.snapshot, "Second")), firstTree);
    expectSameTree(treeOf(restore(changed.snapshot, "Third")), changedTree);
    expectSameTree(treeOf(restore(again.snapshot, "Fourth")), changedTree);
}

TEST_F(BandSyncTest, RestoreRefusesExistingVaultsAndFoldersAndUnknownSnapshots) {
    const auto pushed = sync.push(vaultDir, {});
    writeBytes(tmp / "restored/.Taken.hushcoffer/vault.json", "{}");
    writeBytes(tmp / "restored/Busy/letter.txt", "mine");
    vaulttest::expectVaultError([&] { restore(pushed.snapshot, "Taken"); },
                                VaultError::alreadyExists((tmp / "restored/.Taken.hushcoffer").string()));
    vaulttest::expectVaultError([&] { restore(pushed.snapshot, "Busy"); },
                                VaultError::alreadyExists((tmp / "restored/Busy").string()));
    vaulttest::expectVaultError([&] { restore("2020-01-01T000000.000Z-00000000", "New"); },
                                VaultError::snapshotNotFound("2020-01-01T000000.000Z-00000000"));
    vaulttest::expectVaultError([&] { restore("../../etc/passwd", "New"); },
                                VaultError::snapshotNotFound("../../etc/passwd"));
    vaulttest::expectVaultError([&] { restore(pushed.snapshot, "a/b"); }, VaultError::invalidName());
    EXPECT_EQ(vaulttest::readFile(tmp / "restored/.Taken.hushcoffer/vault.json"), "{}");
    EXPECT_EQ(vaulttest::readFile(tmp / "restored/Busy/letter.txt"), "mine");
    EXPECT_FALSE(fs::exists(tmp / "restored/.New.hushcoffer"));

    // An empty folder under either name is taken.
    fs::create_directories(tmp / "restored/.Empty.hushcoffer");
    fs::create_directories(tmp / "restored/Empty");
    expectSameTree(treeOf(restore(pushed.snapshot, "Empty")), treeOf(vaultDir));
}

TEST_F(BandSyncTest, CheckAndRestoreFindARemovedBandAndAFlippedByte) {
    const auto pushed = sync.push(vaultDir, {});
    const auto manifest = SnapshotManifest::decode(*store.get("snapshots/" + pushed.snapshot + ".json"));
    auto bandsOf = [&](const std::string& path) {
        for (const auto& e : manifest.entries)
            if (e.path == path) return e.bands;
        return std::vector<std::string>{};
    };
    const std::string removed = bandsOf("data.gocryptfs/sub/big")[1];
    const std::string flipped = bandsOf("data.gocryptfs/exact")[0];
    fs::remove(store.root() / "bands" / removed.substr(0, 2) / removed);
    {
        const fs::path band = store.root() / "bands" / flipped.substr(0, 2) / flipped;
        std::string bytes = vaulttest::readFile(band);
        bytes[12345] ^= 0x01;
        vaulttest::writeFile(band, bytes);
    }

    const auto fast = sync.check(false);
    EXPECT_EQ(fast.missingBands, std::vector<std::string>{removed});
    EXPECT_TRUE(fast.damagedBands.empty()) << "the fast check reads no band";
    ASSERT_EQ(fast.damage.size(), 1u);
    EXPECT_EQ(fast.damage[0].snapshot, pushed.snapshot);
    EXPECT_EQ(fast.damage[0].path, "data.gocryptfs/sub/big");
    EXPECT_EQ(fast.damage[0].what, "missing");

    const auto full = sync.check(true);
    EXPECT_EQ(full.damagedBands, std::vector<std::string>{flipped});
    ASSERT_EQ(full.damage.size(), 2u);
    std::set<std::string> paths{full.damage[0].path, full.damage[1].path};
    EXPECT_EQ(paths, (std::set<std::string>{"data.gocryptfs/sub/big", "data.gocryptfs/exact"}));

    const auto error = vaulttest::vaultErrorOf([&] { restore(pushed.snapshot, "Damaged"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), VaultError::Case::integrity);
    EXPECT_NE(error->payload()[0].find("data.gocryptfs/sub/big"), std::string::npos) << error->what();
    EXPECT_NE(error->payload()[0].find("data.gocryptfs/exact"), std::string::npos) << error->what();
    // The rest is there (folder times too, which are set last); the damaged
    // files are not.
    auto expected = treeOf(vaultDir);
    expected.erase("data.gocryptfs/sub/big");
    expected.erase("data.gocryptfs/exact");
    expectSameTree(treeOf(tmp / "restored/.Damaged.hushcoffer"), expected);

    // A new push sends the missing band again (its file is unchanged, but the
    // band is not in the store) and the store is whole once more.
    const auto repaired = sync.push(vaultDir, {});
    EXPECT_EQ(repaired.bandsSent, 1u);
    EXPECT_TRUE(sync.check(false).ok());
}

TEST_F(BandSyncTest, RestoreOfChosenEntriesBringsWhatTheVaultNeedsToOpen) {
    writeBytes(data / "sub/gocryptfs.diriv", randomBytes(16, 11));
    writeBytes(data / "other/gocryptfs.diriv", randomBytes(16, 12));
    writeBytes(data / "other/x", "x");
    const auto pushed = sync.push(vaultDir, {});
    BandSync::RestoreOptions only;
    only.only = {"data.gocryptfs/sub/deeper", "data.gocryptfs/one"};
    sync.restore(pushed.snapshot, tmp / "restored", "Some", only);
    const auto all = treeOf(vaultDir);
    std::map<std::string, Item> expected;
    for (const char* path : {"vault.json", "vault.json.bak", "README.txt", "data.gocryptfs",
                             "data.gocryptfs/gocryptfs.conf", "data.gocryptfs/gocryptfs.diriv",
                             "data.gocryptfs/one", "data.gocryptfs/sub", "data.gocryptfs/sub/gocryptfs.diriv",
                             "data.gocryptfs/sub/deeper", "data.gocryptfs/sub/deeper/small"})
        expected[path] = all.at(path);
    auto restored = treeOf(tmp / "restored/.Some.hushcoffer");
    // The folders lack some of their entries, so only their presence counts.
    for (const char* folder : {"data.gocryptfs", "data.gocryptfs/sub"}) {
        ASSERT_TRUE(restored.count(folder)) << folder;
        restored[folder].mtimeNs = expected[folder].mtimeNs;
    }
    expectSameTree(restored, expected);

    only.only = {"data.gocryptfs/nothing-of-that-name"};
    const auto error =
        vaulttest::vaultErrorOf([&] { sync.restore(pushed.snapshot, tmp / "restored", "None", only); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), VaultError::Case::io);
    EXPECT_FALSE(fs::exists(tmp / "restored/.None.hushcoffer"));
}

TEST_F(BandSyncTest, AFileThatKeepsChangingEndsThePushWithoutASnapshot) {
    BandSync::PushOptions options;
    int writes = 0;
    options.afterReadForTesting = [&](const std::string& path) {
        if (path == "data.gocryptfs/sub/big") {
            patch(data / "sub/big", 0, std::to_string(++writes));
        }
    };
    vaulttest::expectVaultError([&] { sync.push(vaultDir, options); }, VaultError::changedDuringSync());
    EXPECT_EQ(writes, 3);
    EXPECT_TRUE(sync.list().empty());
    EXPECT_TRUE(sync.check(false).ok());

    // Changed once: read again, and the snapshot holds the new bytes.
    writes = 0;
    options.afterReadForTesting = [&](const std::string& path) {
        if (path == "data.gocryptfs/sub/big" && writes == 0)
            patch(data / "sub/big", 0, std::to_string(++writes));
    };
    const auto pushed = sync.push(vaultDir, options);
    expectSameTree(treeOf(restore(pushed.snapshot, "Copy")), treeOf(vaultDir));
}

TEST_F(BandSyncTest, ARecordChangedDuringThePushStartsItAgain) {
    BandSync::PushOptions options;
    int changes = 0;
    options.afterReadForTesting = [&](const std::string& path) {
        // A password change rewrites the image's key file while the push is on
        // another file: the record read before it would no longer match.
        if (path == "data.gocryptfs/sub/big" && changes++ == 0)
            vaulttest::writeFile(data / "gocryptfs.conf", vaulttest::readFile(data / "gocryptfs.conf") + " ");
    };
    const auto pushed = sync.push(vaultDir, options);
    EXPECT_EQ(changes, 2);
    expectSameTree(treeOf(restore(pushed.snapshot, "Copy")), treeOf(vaultDir));
    EXPECT_EQ(sync.list().size(), 1u);
}

TEST_F(BandSyncTest, PruneKeepsWhatItsRulesSayAndEveryKeptSnapshotRestores) {
    // Six pushes an hour apart, each after a change of its own.
    const std::int64_t start = 1'800'000'000'000; // 2027-01-15T08:00:00Z
    std::vector<std::string> ids;
    std::vector<std::map<std::string, Item>> trees;
    for (int i = 0; i < 6; ++i) {
        writeBytes(data / ("file" + std::to_string(i)), randomBytes(MiB / 2, 100 + i));
        BandSync::PushOptions options;
        options.timeMs = start + i * 3'600'000;
        ids.push_back(sync.push(vaultDir, options).snapshot);
        trees.push_back(treeOf(vaultDir));
        fs::remove(data / ("file" + std::to_string(i)));
    }
    const auto bandsBefore = store.list("bands/").size();

    BandSync::KeepRules rules;
    rules.last = 2;
    const auto dry = sync.prune(rules, true);
    EXPECT_EQ(dry.removed, (std::vector<std::string>{ids[0], ids[1], ids[2], ids[3]}));
    EXPECT_EQ(dry.bandsRemoved, 4u);
    EXPECT_EQ(sync.list().size(), 6u) << "a dry run changes nothing";

    const auto pruned = sync.prune(rules);
    EXPECT_EQ(pruned.kept, (std::vector<std::string>{ids[4], ids[5]}));
    EXPECT_EQ(pruned.removed, dry.removed);
    EXPECT_EQ(pruned.bandsRemoved, 4u) << "the four half-band files only the removed snapshots named";
    EXPECT_EQ(store.list("bands/").size(), bandsBefore - 4);
    EXPECT_TRUE(sync.check(true).ok());
    expectSameTree(treeOf(restore(ids[4], "Five")), trees[4]);
    expectSameTree(treeOf(restore(ids[5], "Six")), trees[5]);
    EXPECT_TRUE(store.list("locks/").empty());
}

BandSync::SnapshotInfo at(const std::string& when, const std::string& vault = "v") {
    // when: "2026-12-11T072203"
    BandSync::SnapshotInfo s;
    s.id = when + ".000Z-0000000" + (vault == "v" ? "0" : "1");
    s.vaultId = vault;
    return s;
}

TEST(BandSyncPruneRules, KeepsTheNewestOfEachPeriodPerVault) {
    const std::vector<BandSync::SnapshotInfo> snapshots = {
        at("2026-10-30T120000"), // Fri, October
        at("2026-11-02T090000"), // Mon, week 45
        at("2026-11-02T180000"), //
        at("2026-11-05T120000"), // Thu, week 45
        at("2026-11-09T080000"), // Mon, week 46
        at("2026-11-09T200000"), //
        at("2026-12-01T100000"), // Tue, December
        at("2026-12-01T100000", "other vault"),
    };
    struct Case {
        const char* name;
        BandSync::KeepRules rules;
        std::set<std::string> kept; // by the time part of the id
    };
    const std::vector<Case> cases = {
        {"last 2", {2, 0, 0, 0}, {"2026-12-01T100000", "2026-11-09T200000"}},
        {"daily 3", {0, 3, 0, 0}, {"2026-12-01T100000", "2026-11-09T200000", "2026-11-05T120000"}},
        {"weekly 3", {0, 0, 3, 0}, {"2026-12-01T100000", "2026-11-09T200000", "2026-11-05T120000"}},
        {"weekly 4",
         {0, 0, 4, 0},
         {"2026-12-01T100000", "2026-11-09T200000", "2026-11-05T120000", "2026-10-30T120000"}},
        {"monthly 2", {0, 0, 0, 2}, {"2026-12-01T100000", "2026-11-09T200000"}},
        {"monthly 5", {0, 0, 0, 5}, {"2026-12-01T100000", "2026-11-09T200000", "2026-10-30T120000"}},
        {"last 1 + daily 2", {1, 2, 0, 0}, {"2026-12-01T100000", "2026-11-09T200000"}},
    };
    for (const auto& c : cases) {
        const auto kept = BandSync::selectKept(snapshots, c.rules);
        std::set<std::string> mine;
        bool otherKept = false;
        for (const auto& id : kept) {
            if (id.back() == '1')
                otherKept = true; // the other vault's id ends in 1
            else
                mine.insert(id.substr(0, 17));
        }
        EXPECT_EQ(mine, c.kept) << c.name;
        EXPECT_TRUE(otherKept) << c.name << ": each vault keeps its own";
    }
}

TEST_F(BandSyncTest, PruneBesideARunningPushRemovesNoBandAndAPushWaitsForAPrune) {
    BandSync::PushOptions options;
    options.timeMs = 1'700'000'000'000; // 2023, before the next one
    const auto old = sync.push(vaultDir, options);
    fs::remove(data / "sub/big");
    const auto kept = sync.push(vaultDir, {});
    BandSync::KeepRules rules;
    rules.last = 1;
    {
        // A push in progress (its lease is held by a live process: this one).
        StoreLease running(store, "push");
        const auto pruned = sync.prune(rules);
        EXPECT_EQ(pruned.removed, std::vector<std::string>{old.snapshot});
        EXPECT_TRUE(pruned.bandsLeftForPush);
        EXPECT_EQ(pruned.bandsRemoved, 0u);
    }
    {
        StoreLease pruning(store, "prune");
        const auto error = vaulttest::vaultErrorOf([&] { sync.push(vaultDir, {}); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), VaultError::Case::io);
        EXPECT_NE(std::string(error->what()).find("being pruned"), std::string::npos) << error->what();
        vaulttest::expectVaultError([&] { sync.prune(rules); },
                                    VaultError::io("another prune of " + store.describe() + " is running"));
    }
    // A lease whose process has ended counts no more.
    const pid_t child = ::fork();
    if (child == 0) {
        StoreLease* leftBehind = new StoreLease(store, "push");
        (void)leftBehind;
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(store.list("locks/").size(), 1u);
    const auto pruned = sync.prune(rules);
    EXPECT_FALSE(pruned.bandsLeftForPush);
    EXPECT_EQ(pruned.bandsRemoved, 4u) << "the four bands of the removed file";
    EXPECT_TRUE(sync.check(true).ok());
    expectSameTree(treeOf(restore(kept.snapshot, "Kept")), treeOf(vaultDir));
}

TEST_F(BandSyncTest, StoresThatAreNotBackupStoresAreLeftAlone) {
    writeBytes(tmp / "elsewhere/photo.jpg", "a photo");
    LocalFolderStore foreign(tmp / "elsewhere");
    BandSync other(foreign);
    for (auto action : std::vector<std::function<void()>>{[&] { other.push(vaultDir, {}); },
                                                          [&] { other.list(); }, [&] { other.check(false); },
                                                          [&] {
                                                              other.prune({1, 0, 0, 0});
                                                          }}) {
        const auto error = vaulttest::vaultErrorOf(action);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), VaultError::Case::io) << error->what();
    }
    EXPECT_EQ(foreign.list(""), std::vector<std::string>{"photo.jpg"});

    // A store inside the vault it would back up.
    LocalFolderStore inside(vaultDir / "backups");
    const auto error = vaulttest::vaultErrorOf([&] { BandSync(inside).push(vaultDir, {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), VaultError::Case::io);
    EXPECT_FALSE(fs::exists(vaultDir / "backups"));

    // Not a vault directory.
    const auto notVault = vaulttest::vaultErrorOf([&] { sync.push(tmp / "home", {}); });
    ASSERT_TRUE(notVault);
    EXPECT_EQ(notVault->kind(), VaultError::Case::io);
}

// ---- The manifest and the store ----

TEST(SnapshotManifestTest, DecodeRefusesWhatARestoreMustNotFollow) {
    SnapshotManifest m;
    m.id = SnapshotManifest::makeId(1'800'000'000'000);
    m.time = SnapshotManifest::formatTime(1'800'000'000'000);
    m.vaultId = "v";
    SnapshotManifest::Entry dir;
    dir.path = "data.gocryptfs";
    dir.type = SnapshotManifest::Type::directory;
    dir.mode = 0700;
    SnapshotManifest::Entry file;
    file.path = "data.gocryptfs/a";
    file.size = 5;
    file.bands = {std::string(64, 'a')};
    m.entries = {dir, file};
    ASSERT_NO_THROW(SnapshotManifest::decode(m.encode()));
    EXPECT_EQ(SnapshotManifest::decode(m.encode()).encode(), m.encode());

    struct Case {
        const char* name;
        std::function<void(SnapshotManifest&)> spoil;
    };
    auto linkEntry = [](const std::string& path) {
        SnapshotManifest::Entry l;
        l.path = path;
        l.type = SnapshotManifest::Type::link;
        l.target = "/etc";
        return l;
    };
    const std::vector<Case> cases = {
        {"a path going up", [](SnapshotManifest& s) { s.entries[1].path = "data.gocryptfs/../../x"; }},
        {"an absolute path", [](SnapshotManifest& s) { s.entries[1].path = "/etc/passwd"; }},
        {"an empty part", [](SnapshotManifest& s) { s.entries[1].path = "data.gocryptfs//a"; }},
        {"a file outside the image", [](SnapshotManifest& s) { s.entries[1].path = "other"; }},
        {"a file before its folder", [](SnapshotManifest& s) { std::swap(s.entries[0], s.entries[1]); }},
        {"a file in a folder never listed",
         [](SnapshotManifest& s) { s.entries[1].path = "data.gocryptfs/x/a"; }},
        {"a file below a link",
         [&](SnapshotManifest& s) {
             s.entries.insert(s.entries.begin() + 1, linkEntry("data.gocryptfs/l"));
             s.entries[2].path = "data.gocryptfs/l/a";
         }},
        {"a path twice", [](SnapshotManifest& s) { s.entries.push_back(s.entries[1]); }},
        {"too few bands", [](SnapshotManifest& s) { s.entries[1].size = MiB + 1; }},
        {"too many bands", [](SnapshotManifest& s) { s.entries[1].size = 0; }},
        {"a band that is no hash",
         [](SnapshotManifest& s) { s.entries[1].bands[0] = std::string(63, 'a') + "/"; }},
        {"an upper-case band", [](SnapshotManifest& s) { s.entries[1].bands[0] = std::string(64, 'A'); }},
        {"a bad id", [](SnapshotManifest& s) { s.id = "../../x"; }},
        {"the image as a file",
         [](SnapshotManifest& s) {
             s.entries[0].type = SnapshotManifest::Type::file;
             s.entries.pop_back();
         }},
    };
    for (const auto& c : cases) {
        SnapshotManifest spoiled = m;
        c.spoil(spoiled);
        EXPECT_THROW(SnapshotManifest::decode(spoiled.encode()), std::runtime_error) << c.name;
    }
    for (const char* text : {"", "[]", "{\"format\":1}", "{\"format\":2,\"bandBytes\":1048576}", "null"})
        EXPECT_THROW(SnapshotManifest::decode(text), std::runtime_error) << text;
}

TEST(SnapshotManifestTest, IdsSortByTimeAndGiveItBack) {
    const auto a = SnapshotManifest::makeId(1'800'000'000'123);
    const auto b = SnapshotManifest::makeId(1'800'000'000'124);
    const auto c = SnapshotManifest::makeId(1'900'000'000'000);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_EQ(a.substr(0, 23), "2027-01-15T080000.123Z-");
    EXPECT_EQ(SnapshotManifest::timeOfId(a), 1'800'000'000'123);
    EXPECT_EQ(a.find(':'), std::string::npos);
    for (const char* bad :
         {"", "2027-01-15T080000.123Z", "2027-01-15T080000.123Z-1234567", "2027-13-15T080000.123Z-12345678",
          "2027-01-15T080000.123Z-1234567G", "../../../../../../../../../../x"})
        EXPECT_FALSE(SnapshotManifest::isId(bad)) << bad;
}

TEST(SyncStoreTest, KeysAreRelativePathsOfSafeNames) {
    for (const char* good :
         {"a", "bands/ab/abcdef", "snapshots/2027-01-15T080000.123Z-12345678.json", "x_y-z.1"})
        EXPECT_TRUE(SyncStore::isValidKey(good)) << good;
    for (const char* bad :
         {"", "/a", "a/", "a//b", "../a", "a/../b", "./a", ".hidden", "a/.tmp", "a b", "a\\b", "a:b"})
        EXPECT_FALSE(SyncStore::isValidKey(bad)) << bad;
}

TEST(LocalFolderStoreTest, PutGetListRemoveAndTemporaryFilesStayUnlisted) {
    vaulttest::TempDir tmp("hc-store");
    LocalFolderStore store(tmp / "store");
    EXPECT_TRUE(store.list("").empty()) << "a store not made yet is empty";
    EXPECT_FALSE(store.get("a/b"));
    EXPECT_FALSE(store.exists("a/b"));
    store.put("a/b", "first");
    store.put("a/b", "second");
    store.put("c", std::string("\0\1\2", 3));
    EXPECT_EQ(store.get("a/b"), "second");
    EXPECT_EQ(store.get("c"), std::string("\0\1\2", 3));
    EXPECT_TRUE(store.exists("a/b"));
    // What a writer killed halfway leaves.
    vaulttest::writeFile(tmp / "store/a/.b.tmp-x1y2z3", "half");
    auto keys = store.list("");
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"a/b", "c"}));
    EXPECT_EQ(store.list("a/"), std::vector<std::string>{"a/b"});
    store.remove("a/b");
    store.remove("a/b");
    EXPECT_FALSE(store.exists("a/b"));
    EXPECT_THROW(store.put("../escape", "x"), VaultError);
    EXPECT_FALSE(fs::exists(tmp / "escape"));
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "store/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

} // namespace
