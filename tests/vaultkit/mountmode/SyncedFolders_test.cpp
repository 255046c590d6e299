#include "vaultkit/mountmode/MountModePolicy.h"
#include "vaultkit/mountmode/SyncedFolders.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace vaultkit;
namespace fs = std::filesystem;
using Finding = SyncedFolders::Finding;

namespace {

MountEntry mount(std::string mountPoint, std::string fsType, std::string source = "src") {
    MountEntry e;
    e.mountPoint = std::move(mountPoint);
    e.fsType = std::move(fsType);
    e.source = std::move(source);
    return e;
}

// The mount table of a machine whose root is ext4.
std::vector<MountEntry> localTable(const fs::path& extra = {}, const std::string& type = {}) {
    std::vector<MountEntry> table = {mount("/", "ext4", "/dev/sda1")};
    if (!extra.empty()) table.push_back(mount(extra.string(), type));
    return table;
}

} // namespace

// Every client's marker, made the way the client makes it in the root of a
// synced folder, puts a vault two levels below that root in shared mode; the
// same tree without the marker is local.
TEST(SyncedFolders, EachClientsMarkerIsFoundInAnAncestor) {
    struct Case {
        const char* client;
        const char* file;      // made as a file (empty: none)
        const char* directory; // made as a folder (empty: none)
        const char* evidence;
    };
    const Case cases[] = {
        {"Dropbox", ".dropbox", "", ".dropbox"},
        {"Dropbox", "", ".dropbox.cache", ".dropbox.cache"},
        {"Nextcloud or ownCloud", "._sync_4f3ac1b2d7e9.db", "", "._sync_4f3ac1b2d7e9.db"},
        {"Nextcloud or ownCloud", ".sync_0a1b2c3d4e5f.db", "", ".sync_0a1b2c3d4e5f.db"},
        {"ownCloud", ".owncloudsync.log", "", ".owncloudsync.log"},
        {"Syncthing", "", ".stfolder", ".stfolder"},
        {"Syncthing", ".stfolder", "", ".stfolder"},
        {"Seafile", "", ".seafile-data", ".seafile-data"},
        {"Resilio Sync", ".sync/IgnoreList", ".sync", ".sync/IgnoreList"},
        {"Resilio Sync", ".sync/ID", ".sync", ".sync/ID"},
        {"MEGA", "", ".debris", ".debris"},
        {"MEGA", ".megaignore", "", ".megaignore"},
        {"Insync", "", ".insync-trash", ".insync-trash"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.client) + " " + c.evidence);
        vaulttest::TempDir tmp("hc-synced");
        const fs::path root = tmp / "Cloud";
        const fs::path vaultDir = root / "Documents" / ".Taxes.hushcoffer";
        fs::create_directories(vaultDir);
        const fs::path home = tmp / "home";
        EXPECT_EQ(SyncedFolders::find(vaultDir, localTable(), home), std::nullopt) << "nothing there yet";

        if (*c.directory) fs::create_directories(root / c.directory);
        if (*c.file) vaulttest::writeFile(root / c.file, "x");
        const auto found = SyncedFolders::find(vaultDir, localTable(), home);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->kind, Finding::Kind::marker);
        EXPECT_EQ(found->client, c.client);
        EXPECT_EQ(found->root, fs::canonical(root));
        EXPECT_EQ(found->evidence, c.evidence);
        EXPECT_EQ(MountModePolicy::decide(MountModePolicy::Choice::automatic, found).mode,
                  DiskImage::MountMode::shared);
    }
}

// Names that only look like markers are not taken for one: a marker of the
// wrong kind, a Resilio ".sync" folder without its files, a journal name
// without its middle part.
TEST(SyncedFolders, LookalikesAreNotMarkers) {
    vaulttest::TempDir tmp("hc-synced");
    const fs::path root = tmp / "Projects";
    const fs::path vaultDir = root / ".Notes.hushcoffer";
    fs::create_directories(vaultDir);
    fs::create_directories(root / ".sync" / "other");      // e.g. a tool's own ".sync" folder
    fs::create_directories(root / ".dropbox");             // a folder, where Dropbox makes a file
    vaulttest::writeFile(root / ".debris", "");            // a file, where MEGA makes a folder
    vaulttest::writeFile(root / "._sync_.db", "");         // no account part
    fs::create_symlink("/nonexistent", root / ".stfolder"); // a dangling link
    EXPECT_EQ(SyncedFolders::find(vaultDir, localTable(), tmp / "home"), std::nullopt);

    EXPECT_TRUE(SyncedFolders::nameMatches(".sync_*.db", ".sync_a.db"));
    EXPECT_FALSE(SyncedFolders::nameMatches(".sync_*.db", ".sync_.db"));
    EXPECT_FALSE(SyncedFolders::nameMatches(".sync_*.db", ".sync_a.db-wal"));
}

// Network and cloud file systems are known from the mount table alone: the
// nearest mount above the folder counts, and a local file system mounted
// below a network one is local again.
TEST(SyncedFolders, NetworkAndCloudMountsByType) {
    vaulttest::TempDir tmp("hc-synced");
    const fs::path mp = tmp / "remote";
    const fs::path vaultDir = mp / "sub" / ".V.hushcoffer";
    fs::create_directories(vaultDir);
    const std::string mpText = fs::canonical(mp).string();
    struct Case {
        const char* fsType;
        bool shared;
        const char* source = "src";
    };
    const Case cases[] = {
        {"nfs", true},          {"nfs4", true},          {"cifs", true},       {"smb3", true},
        {"fuse.sshfs", true},   {"fuse.rclone", true},   {"fuse.gvfsd-fuse", true},
        {"fuse.s3fs", true},    {"9p", true},            {"virtiofs", true},   {"fuse.pCloud", true},
        {"fuse", true, "pCloud.fs"},                     {"fuse", true, "some-tool"}, // any FUSE program
        {"ext4", false},        {"btrfs", false},        {"tmpfs", false},     {"fuse.gocryptfs", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fsType) + " " + c.source);
        auto table = localTable();
        table.push_back(mount(mpText, c.fsType, c.source));
        const auto found = SyncedFolders::find(vaultDir, table, tmp / "home");
        EXPECT_EQ(found.has_value(), c.shared);
        if (found) {
            EXPECT_EQ(found->kind, Finding::Kind::mount);
            EXPECT_EQ(found->root, mpText);
            EXPECT_EQ(found->evidence, std::string(c.fsType) == "fuse" ? c.source : c.fsType)
                << "what the user is shown names the file system";
        }
    }
    auto table = localTable(mpText, "nfs4");
    table.push_back(mount(mpText + "/sub", "ext4"));
    EXPECT_EQ(SyncedFolders::find(vaultDir, table, tmp / "home"), std::nullopt);
    EXPECT_FALSE(SyncedFolders::find(tmp / "remote-not", localTable(mpText, "nfs4"), tmp / "home"))
        << "a sibling whose name starts alike is not below the mount";
}

// The OneDrive client leaves no marker: its folder is "sync_dir" in its
// configuration, "~/OneDrive" when not set; without the configuration folder
// the client is not there at all.
TEST(SyncedFolders, OneDriveFolderFromItsConfiguration) {
    vaulttest::TempDir tmp("hc-synced");
    const fs::path home = tmp / "home";
    const fs::path defaultDir = home / "OneDrive";
    const fs::path customDir = tmp / "data" / "od";
    fs::create_directories(defaultDir / ".A.hushcoffer");
    fs::create_directories(customDir / ".B.hushcoffer");

    EXPECT_FALSE(SyncedFolders::find(defaultDir / ".A.hushcoffer", localTable(), home)) << "no client";
    fs::create_directories(home / ".config" / "onedrive");
    auto found = SyncedFolders::find(defaultDir / ".A.hushcoffer", localTable(), home);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->client, "OneDrive");
    EXPECT_EQ(found->kind, Finding::Kind::configuration);

    vaulttest::writeFile(home / ".config" / "onedrive" / "config",
                         "# sync_dir = \"~/Elsewhere\"\nsync_dir = \"" + customDir.string() + "\"\nskip_file = \"~*\"\n");
    EXPECT_FALSE(SyncedFolders::find(defaultDir / ".A.hushcoffer", localTable(), home));
    found = SyncedFolders::find(customDir / ".B.hushcoffer", localTable(), home);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->root, fs::canonical(customDir));

    EXPECT_EQ(SyncedFolders::oneDriveSyncDir("sync_dir = \"~/Cloud Files\"", "/home/u"), "/home/u/Cloud Files");
    EXPECT_EQ(SyncedFolders::oneDriveSyncDir("sync_dir=\"\"", "/home/u"), "/home/u/OneDrive");
}

// A client may sync the vault directory itself or its image folder alone: a
// marker there counts as much as one above (local mode over a folder changed
// underneath corrupts appends).
TEST(SyncedFolders, AMarkerInsideTheVaultDirectoryCounts) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ".stfolder"},                 // the vault directory is the Syncthing folder
        {"data.gocryptfs", ".stfolder"},   // the image folder is
        {"data.gocryptfs", ".dropbox"},
    };
    for (const auto& [inside, marker] : cases) {
        SCOPED_TRACE(std::string(inside) + "/" + marker);
        vaulttest::TempDir tmp("hc-synced");
        const fs::path dir = tmp / "Documents" / ".Notes.hushcoffer";
        fs::create_directories(dir / "data.gocryptfs");
        EXPECT_FALSE(SyncedFolders::find(dir, localTable(), tmp / "home"));
        const fs::path at = std::string_view(inside).empty() ? dir : dir / inside;
        if (std::string_view(marker) == ".stfolder")
            fs::create_directories(at / marker);
        else
            vaulttest::writeFile(at / marker, "");
        const auto found = SyncedFolders::find(dir, localTable(), tmp / "home");
        ASSERT_TRUE(found);
        EXPECT_EQ(found->kind, Finding::Kind::marker);
        EXPECT_EQ(found->root, fs::canonical(at));
    }
}

// The clients' own lists of their folders: a listed folder that holds the
// vault directory, or that lies inside it, is found without any marker.
TEST(SyncedFolders, TheClientsOwnFolderListsCount) {
    struct Case {
        const char* client;
        const char* file;    // below home
        const char* text;    // "@" stands for the listed folder
        const char* listed;  // below the test folder
    };
    const Case cases[] = {
        {"Syncthing", ".config/syncthing/config.xml",
         "<configuration version=\"37\">\n  <folder id=\"abcd-1234\" label=\"Data\" path=\"@\" type=\"sendreceive\">\n"
         "    <device id=\"X\"></device>\n  </folder>\n</configuration>\n",
         "Documents/.Notes.hushcoffer/data.gocryptfs"},
        {"Syncthing", ".local/state/syncthing/config.xml",
         "<configuration><folder id='x' path='@'></folder></configuration>", "Documents"},
        {"Nextcloud", ".config/Nextcloud/nextcloud.cfg",
         "[Accounts]\n0\\Folders\\1\\localPath=@/\n", "Documents"},
        {"ownCloud", ".config/ownCloud/owncloud.cfg",
         "[Accounts]\n0\\Folders\\1\\localPath=@/\n", "Documents/.Notes.hushcoffer"},
        {"Dropbox", ".dropbox/info.json", "{\"personal\": {\"path\": \"@\"}}", "Documents"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.client) + " " + c.file);
        vaulttest::TempDir tmp("hc-synced");
        const fs::path home = tmp / "home";
        const fs::path dir = tmp / "Documents" / ".Notes.hushcoffer";
        fs::create_directories(dir / "data.gocryptfs");
        fs::create_directories(tmp / "Elsewhere");
        std::string text = c.text;
        const auto at = text.find('@');
        fs::create_directories((home / c.file).parent_path());
        vaulttest::writeFile(home / c.file, text.substr(0, at) + (tmp / "Elsewhere").string() + text.substr(at + 1));
        EXPECT_FALSE(SyncedFolders::find(dir, localTable(), home)) << "a folder of the client elsewhere";
        vaulttest::writeFile(home / c.file, text.substr(0, at) + (tmp / c.listed).string() + text.substr(at + 1));
        const auto found = SyncedFolders::find(dir, localTable(), home);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->kind, Finding::Kind::configuration);
        EXPECT_EQ(found->client, c.client);
        EXPECT_EQ(found->root, fs::canonical(tmp / c.listed));
    }
    EXPECT_EQ(SyncedFolders::syncthingFolders("<folder id=\"a\" path=\"~/Sync &amp; more\"/><folderx path=\"/no\">"
                                              "<folder id=\"b\" path=\"/data/x\" ></folder>",
                                              "/home/u"),
              (std::vector<fs::path>{"/home/u/Sync & more", "/data/x"}));
}

// A Seafile library outside the Seafile folder leaves no marker: the
// client's database names it (the bytes of its "worktree" values).
TEST(SyncedFolders, ASeafileLibraryNamedInTheClientsDatabaseIsSynced) {
    vaulttest::TempDir tmp("hc-synced");
    const fs::path home = tmp / "home";
    const fs::path library = tmp / "Libraries/Work";
    const fs::path dir = library / ".Notes.hushcoffer";
    fs::create_directories(dir / "data.gocryptfs");
    fs::create_directories(home / "Seafile/.seafile-data");
    EXPECT_FALSE(SyncedFolders::find(dir, localTable(), home)) << "no database yet";
    // A record as SQLite lays it out: the row's values side by side, the
    // next cell's header bytes right after the path.
    vaulttest::writeFile(home / "Seafile/.seafile-data/repo.db",
                         std::string("SQLite format 3\0\x10\0", 19) + "\x2c\x03\x07" +
                             "0a1b2c3d-1111-2222-3333-444444444444worktree" + library.string() + "E\x05\x02\x01");
    const auto found = SyncedFolders::find(dir, localTable(), home);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->kind, Finding::Kind::configuration);
    EXPECT_EQ(found->client, "Seafile");
    EXPECT_EQ(found->root, fs::canonical(library));
}

// A FUSE file system this table does not know is a program of its own that
// may change the files: shared, not local.
TEST(SyncedFolders, AnUnknownFuseFileSystemIsNotLocal) {
    vaulttest::TempDir tmp("hc-synced");
    fs::create_directories(tmp / "cloud" / ".V.hushcoffer");
    const auto found =
        SyncedFolders::find(tmp / "cloud" / ".V.hushcoffer", localTable(tmp / "cloud", "fuse.somedrive"), tmp / "home");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->kind, Finding::Kind::mount);
    EXPECT_FALSE(SyncedFolders::find(tmp / "cloud" / ".V.hushcoffer", localTable(tmp / "cloud", "fuse.gocryptfs"),
                                     tmp / "home"));
}
