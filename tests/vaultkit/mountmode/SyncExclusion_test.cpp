#include "vaultkit/mountmode/SyncExclusion.h"

#include "support/ExpectVaultError.h"
#include "support/TestSupport.h"
#include "vaultkit/mountmode/ClientConfigs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/xattr.h>
#include <tuple>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

} // namespace

TEST(SyncExclusion, PatternsAreAnchoredAndEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {"Notes", "/Notes"},
        {"Work/Private Notes", "/Work/Private Notes"},
        {"a*b?[c]{d}", "/a\\*b\\?\\[c\\]\\{d\\}"},
        {"back\\slash", "/back\\\\slash"},
        {"#include", "/#include"},
        {"!keep", "/!keep"},
    };
    for (const auto& [relative, pattern] : cases)
        EXPECT_EQ(SyncExclusion::syncthingPattern(relative), pattern) << relative;
}

TEST(SyncExclusion, LinesAndIncludesAreReadAsSyncthingReadsThem) {
    EXPECT_TRUE(SyncExclusion::holdsLine("*.tmp\n/Notes\n", "/Notes"));
    EXPECT_TRUE(SyncExclusion::holdsLine("/Notes\r\n", "/Notes"));
    EXPECT_TRUE(SyncExclusion::holdsLine("  /Notes  ", "/Notes"));
    EXPECT_FALSE(SyncExclusion::holdsLine("/Notes/sub\n//Notes\n/Notesx\n", "/Notes"));
    EXPECT_FALSE(SyncExclusion::holdsLine("", "/Notes"));
    EXPECT_EQ(SyncExclusion::includes("#include  common.txt\n/a\n#include /abs/x\n#include\n"),
              (std::vector<std::string>{"common.txt", "/abs/x"}));
}

// A vault two levels below a Syncthing folder root: the root's .stignore gets
// the anchored line once, the user's lines stay, a second call changes
// nothing, and a pattern already in an included file is not added again.
TEST(SyncExclusion, TheRootsIgnoreFileGetsTheLineOnceAndKeepsTheUsersLines) {
    vaulttest::TempDir tmp("hc-stignore");
    const fs::path root = tmp / "Sync";
    fs::create_directories(root / ".stfolder");
    fs::create_directories(root / "Work");
    put(root / ".stignore", "// mine\n*.bak");
    fs::permissions(root / ".stignore", fs::perms(0640));

    const auto first = SyncExclusion::apply(root / "Work" / "Notes");
    ASSERT_EQ(first.entries.size(), 1u);
    EXPECT_EQ(first.entries[0].client, "Syncthing");
    EXPECT_EQ(first.entries[0].file, root / ".stignore");
    EXPECT_TRUE(first.entries[0].written);
    const std::string text = slurp(root / ".stignore");
    EXPECT_TRUE(text.starts_with("// mine\n*.bak\n")) << text;
    EXPECT_TRUE(SyncExclusion::holdsLine(text, "/Work/Notes")) << text;
    EXPECT_EQ(fs::status(root / ".stignore").permissions() & fs::perms::all, fs::perms(0640));

    const auto second = SyncExclusion::apply(root / "Work" / "Notes");
    ASSERT_EQ(second.entries.size(), 1u);
    EXPECT_FALSE(second.entries[0].written);
    EXPECT_EQ(slurp(root / ".stignore"), text);

    // Kept in an included file: in force already.
    put(root / "Other" / ".stfolder" / "x", "");
    put(root / "Other" / ".stignore", "#include shared-ignores.txt\n");
    put(root / "Other" / "shared-ignores.txt", "/Box\n");
    const auto included = SyncExclusion::apply(root / "Other" / "Box");
    ASSERT_EQ(included.entries.size(), 2u); // Other's root, then Sync's
    EXPECT_FALSE(included.entries[0].written);
    EXPECT_EQ(slurp(root / "Other" / ".stignore"), "#include shared-ignores.txt\n");
    EXPECT_TRUE(included.entries[1].written);
    EXPECT_TRUE(SyncExclusion::holdsLine(slurp(root / ".stignore"), "/Other/Box"));
}

TEST(SyncExclusion, OutsideSyncthingNothingIsWritten) {
    vaulttest::TempDir tmp("hc-stignore");
    fs::create_directories(tmp / "Documents");
    EXPECT_TRUE(SyncExclusion::apply(tmp / "Documents" / "Notes").entries.empty());
    EXPECT_FALSE(fs::exists(tmp / "Documents" / ".stignore"));
    EXPECT_FALSE(fs::exists(tmp / ".stignore"));
}

// An exclusion that cannot be written is an error (the caller must not mount),
// and the folder root is left as it was.
TEST(SyncExclusion, AnIgnoreFileThatCannotBeWrittenIsAnError) {
    vaulttest::TempDir tmp("hc-stignore");
    fs::create_directories(tmp / ".stfolder");
    fs::create_directories(tmp / ".stignore" / "inside"); // a folder where the file belongs
    const auto e = vaulttest::vaultErrorOf([&] { SyncExclusion::apply(tmp / "Notes"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), VaultError::Case::io);
    EXPECT_TRUE(fs::is_directory(tmp / ".stignore" / "inside"));
    EXPECT_FALSE(fs::exists(tmp / "Notes"));
}

// ---- The other clients, each with a fixture of its own files ----

namespace {

// A home with a synced folder `root` made the way `client` makes it, and
// what the client reads its exclusion from afterwards.
struct ClientFixture {
    const char* client;
    // Builds the client's files below home for the synced folder home/Cloud.
    void (*make)(const fs::path& home);
    // The file holding the exclusion, below home.
    const char* file;
    // The line that must be in it for the visible folder Cloud/Work/Notes.
    const char* line;
};

const ClientFixture kClients[] = {
    {"Nextcloud",
     [](const fs::path& home) {
         fs::create_directories(home / "Cloud/Work");
         put(home / "Cloud/._sync_5e2a9c0b1d47.db", "SQLite format 3");
         put(home / ".config/Nextcloud/nextcloud.cfg",
             "[Accounts]\n0\\Folders\\1\\localPath=" + (home / "Cloud").string() +
                 "/\n0\\Folders\\1\\targetPath=/\n0\\url=https://127.0.0.1\n");
         put(home / ".config/Nextcloud/sync-exclude.lst", "*~\n.~lock.*\n");
     },
     ".config/Nextcloud/sync-exclude.lst", "/Work/Notes"},
    {"ownCloud",
     [](const fs::path& home) {
         fs::create_directories(home / "Cloud/Work");
         put(home / "Cloud/.sync_0a1b2c3d4e5f.db", "SQLite format 3");
         put(home / "Cloud/.owncloudsync.log", "");
         put(home / ".config/ownCloud/owncloud.cfg",
             "[Accounts]\n0\\Folders\\1\\localPath=" + (home / "Cloud").string() + "/\n");
     },
     ".config/ownCloud/sync-exclude.lst", "/Work/Notes"},
    {"Seafile",
     [](const fs::path& home) {
         // ~/Cloud is the Seafile folder, Work the library.
         fs::create_directories(home / "Cloud/.seafile-data/storage");
         fs::create_directories(home / "Cloud/Work");
     },
     "Cloud/Work/seafile-ignore.txt", "Notes/"},
    {"OneDrive",
     [](const fs::path& home) {
         fs::create_directories(home / "Cloud/Work");
         put(home / ".config/onedrive/config",
             "# sync_dir = \"~/OneDrive\"\nsync_dir = \"~/Cloud\"\nskip_file = \"~*|.~*|*.tmp\"\n");
     },
     ".config/onedrive/config", "skip_dir = \"Work/Notes\""},
    {"Resilio Sync",
     [](const fs::path& home) {
         fs::create_directories(home / "Cloud/Work");
         put(home / "Cloud/.sync/ID", "\x01\x02");
         put(home / "Cloud/.sync/IgnoreList", "# default list\n.DS_Store\n");
     },
     "Cloud/.sync/IgnoreList", "/Work/Notes"},
    {"MEGA",
     [](const fs::path& home) {
         fs::create_directories(home / "Cloud/.debris");
         fs::create_directories(home / "Cloud/Work");
         put(home / "Cloud/.megaignore", "-:.debris\n-g:*.crdownload\n");
     },
     "Cloud/.megaignore", "-p:Work/Notes"},
};

} // namespace

// Each client's exclusion is written to the file that client reads, the
// user's lines kept, once; inspect() then sees it in force.
TEST(SyncExclusion, EachClientsExclusionGoesWhereThatClientReadsIt) {
    for (const auto& c : kClients) {
        SCOPED_TRACE(c.client);
        vaulttest::TempDir tmp("hc-exclude");
        const fs::path home = tmp.path();
        c.make(home);
        const std::string before = fs::exists(home / c.file) ? slurp(home / c.file) : std::string();
        const fs::path visible = home / "Cloud/Work/Notes";

        const auto notYet = SyncExclusion::inspect(visible, home);
        ASSERT_EQ(notYet.entries.size(), 1u);
        EXPECT_FALSE(notYet.entries[0].inForce);
        EXPECT_FALSE(notYet.allInForce());
        EXPECT_EQ(slurp(home / c.file), before); // inspect writes nothing

        const auto first = SyncExclusion::apply(visible, home);
        ASSERT_EQ(first.entries.size(), 1u);
        EXPECT_EQ(first.entries[0].client, c.client);
        EXPECT_EQ(first.entries[0].file, home / c.file);
        EXPECT_TRUE(first.entries[0].written);
        EXPECT_TRUE(first.entries[0].inForce);
        const std::string text = slurp(home / c.file);
        EXPECT_TRUE(text.starts_with(before)) << text;
        EXPECT_TRUE(SyncExclusion::holdsLine(text, c.line)) << text;

        const auto second = SyncExclusion::apply(visible, home);
        ASSERT_EQ(second.entries.size(), 1u);
        EXPECT_FALSE(second.entries[0].written);
        EXPECT_EQ(slurp(home / c.file), text);
        EXPECT_TRUE(SyncExclusion::inspect(visible, home).allInForce());
    }
}

// Seafile: a library anywhere on the computer is known from the client's own
// database (a real SQLite file, written by Python's sqlite3), not only one
// beside ~/Seafile/.seafile-data: its visible folder is left out in the
// library's root, and the vault counts as synced.
TEST(SyncExclusion, SeafileLibrariesElsewhereAreReadFromTheClientsDatabase) {
    vaulttest::TempDir tmp("hc-seafile");
    const fs::path home = tmp.path();
    const fs::path data = home / "state/seafile-data";
    const fs::path library = home / "Projects/Work";
    fs::create_directories(data);
    fs::create_directories(library);
    fs::create_directories(home / "Projects/Workshop");
    fs::create_directories(home / "Other/Photos");
    put(home / ".ccnet/seafile.ini", data.string() + "\n");
    const std::string script =
        "import sqlite3,sys\n"
        "c=sqlite3.connect(sys.argv[1])\n"
        "c.execute('CREATE TABLE RepoProperty (repo_id TEXT, key TEXT, value TEXT)')\n"
        "for i,(k,v) in enumerate([('worktree',sys.argv[2]),('server-url','https://127.0.0.1'),"
        "('worktree',sys.argv[3])]):\n"
        "    c.execute('INSERT INTO RepoProperty VALUES (?,?,?)',('%08d-1111-2222-3333-444444444444'%i,k,v))\n"
        "c.commit()\n";
    put(tmp / "make-db.py", script);
    const std::string command = "python3 '" + (tmp / "make-db.py").string() + "' '" + (data / "repo.db").string() +
                                "' '" + library.string() + "' '" + (home / "Other/Photos").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    auto libraries = ClientConfigs::seafileLibraries(home);
    std::sort(libraries.begin(), libraries.end());
    EXPECT_EQ(libraries, (std::vector<fs::path>{home / "Other/Photos", library}));

    const fs::path visible = library / "Notes";
    const auto applied = SyncExclusion::apply(visible, home);
    ASSERT_EQ(applied.entries.size(), 1u);
    EXPECT_EQ(applied.entries[0].client, "Seafile");
    EXPECT_EQ(applied.entries[0].file, library / "seafile-ignore.txt");
    EXPECT_TRUE(SyncExclusion::holdsLine(slurp(library / "seafile-ignore.txt"), "Notes/"));
    EXPECT_TRUE(SyncExclusion::inspect(visible, home).allInForce());

    // A folder whose name only starts like the library's is no library.
    EXPECT_TRUE(SyncExclusion::inspect(home / "Projects/Workshop/Notes", home).entries.empty());
    // Nor is anything when the database cannot be read.
    fs::remove(data / "repo.db");
    EXPECT_TRUE(SyncExclusion::inspect(visible, home).entries.empty());
}

// Dropbox: the ignore attribute on the visible folder; a folder not made yet
// is pending (nothing to set it on), and set once it exists.
TEST(SyncExclusion, DropboxGetsItsIgnoreAttributeOnTheFolder) {
    const std::pair<const char*, bool> layouts[] = {{"marker", true}, {"info.json only", false}};
    for (const auto& [what, marker] : layouts) {
        SCOPED_TRACE(what);
        vaulttest::TempDir tmp("hc-exclude");
        const fs::path home = tmp.path();
        const fs::path root = home / "Dropbox (Personal)";
        fs::create_directories(root / "Work");
        if (marker) {
            put(root / ".dropbox", "{\"ns\": 1}");
            fs::create_directories(root / ".dropbox.cache");
        } else {
            put(home / ".dropbox/info.json",
                "{\"personal\": {\"path\": \"" + root.string() + "\", \"host\": 1, \"is_team\": false}}");
        }
        const fs::path visible = root / "Work/Notes";
        const auto pending = SyncExclusion::apply(visible, home);
        ASSERT_EQ(pending.entries.size(), 1u);
        EXPECT_EQ(pending.entries[0].client, "Dropbox");
        EXPECT_EQ(pending.entries[0].note, "pending");
        EXPECT_FALSE(fs::exists(visible));

        fs::create_directory(visible);
        const auto set = SyncExclusion::apply(visible, home);
        ASSERT_EQ(set.entries.size(), 1u);
        EXPECT_TRUE(set.entries[0].written);
        EXPECT_TRUE(set.entries[0].inForce);
        char value[4] = {};
        ASSERT_EQ(::getxattr(visible.c_str(), "user.com.dropbox.ignored", value, sizeof value), 1);
        EXPECT_EQ(value[0], '1');
        EXPECT_FALSE(SyncExclusion::apply(visible, home).entries[0].written);
    }
}

// The OneDrive client reads skip_dir as one "|" list in older versions: the
// pattern joins the user's first line instead of a second line that would
// replace it; a commented line is not the user's setting.
TEST(SyncExclusion, OneDriveSkipDirKeepsTheUsersPatterns) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"skip_dir = \"Games\"\n", "skip_dir = \"Games|Work/Notes\"\n", "one line"},
        {"skip_dir = \"\"\n", "skip_dir = \"Work/Notes\"\n", "empty"},
        {"  skip_dir=\"A|B\"\nskip_dir = \"C\"\n", "  skip_dir=\"A|B|Work/Notes\"\nskip_dir = \"C\"\n", "two lines"},
        {"# skip_dir = \"Games\"\n", nullptr, "commented out"},
        {"skip_dir = \"Games|Work/Notes\"\n", "skip_dir = \"Games|Work/Notes\"\n", "there already"},
    };
    for (const auto& [config, expected, what] : cases) {
        SCOPED_TRACE(what);
        const std::string out = SyncExclusion::withOneDriveSkipDir(config, "Work/Notes");
        if (expected) {
            EXPECT_EQ(out, expected);
        } else {
            EXPECT_TRUE(out.starts_with(config)) << out;
            EXPECT_TRUE(out.ends_with("\nskip_dir = \"Work/Notes\"\n")) << out;
        }
        EXPECT_TRUE(SyncExclusion::oneDriveSkips(out, "Work/Notes")) << out;
    }
    EXPECT_FALSE(SyncExclusion::oneDriveSkips("skip_dir = \"Work/Notes2\"\n# skip_dir = \"Work/Notes\"\n", "Work/Notes"));
}

// Where an exclusion cannot be made, apply() refuses (the caller does not
// mount) and writes nothing: Insync has no file to write, and a Nextcloud
// journal without the client's configuration folder gives nowhere to write.
TEST(SyncExclusion, AFolderThatCannotBeExcludedIsRefused) {
    const std::pair<const char*, const char*> cases[] = {{"Insync", ".insync-trash"},
                                                         {"Nextcloud", "._sync_5e2a9c0b1d47.db"}};
    for (const auto& [client, marker] : cases) {
        SCOPED_TRACE(client);
        vaulttest::TempDir tmp("hc-exclude");
        const fs::path home = tmp.path();
        fs::create_directories(home / "Cloud/Work");
        if (std::string_view(marker).ends_with(".db"))
            put(home / "Cloud" / marker, "SQLite format 3");
        else
            fs::create_directories(home / "Cloud" / marker);
        const auto e = vaulttest::vaultErrorOf([&] { SyncExclusion::apply(home / "Cloud/Work/Notes", home); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->kind(), VaultError::Case::io);
        const auto seen = SyncExclusion::inspect(home / "Cloud/Work/Notes", home);
        ASSERT_EQ(seen.entries.size(), 1u);
        EXPECT_EQ(seen.entries[0].client, client);
        EXPECT_EQ(seen.entries[0].note, "impossible");
        EXPECT_FALSE(seen.allInForce());
        EXPECT_FALSE(fs::exists(home / ".config"));
    }
}
