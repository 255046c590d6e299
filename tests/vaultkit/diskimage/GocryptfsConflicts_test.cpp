// The pure parts of GocryptfsConflicts: which names carry a sync client's
// conflict mark, what an encrypted name looks like, the visible name given.
#include "vaultkit/diskimage/GocryptfsConflicts.h"

#include <gtest/gtest.h>

using vaultkit::GocryptfsConflicts;

namespace {

const std::string enc = "GfphQLtgddwJkH0v6aq9Aw"; // a 16-byte encrypted name
const std::string longEnc = "gocryptfs.longname.qNWpOZo45aNn0P8QUElMfor2o5jbNWxaD0G1XDMmQYw";

TEST(GocryptfsConflicts, EachClientsMarkIsTakenOffWhereverTheClientPutIt) {
    struct Case {
        const char* client;
        std::string name;
        std::string original;
    };
    const Case cases[] = {
        {"Dropbox", enc + " (conflicted copy 2024-05-01)", enc},
        {"Dropbox with owner", enc + " (Ann's conflicted copy 2024-05-01)", enc},
        {"Dropbox numbered", enc + " (Ann's conflicted copy 2024-05-01 (1))", enc},
        {"Nextcloud", enc + " (conflicted copy 2024-05-01 101010)", enc},
        {"ownCloud", enc + "_conflict-20240501-101010", enc},
        {"Syncthing", enc + ".sync-conflict-20240501-101010-ABCDEFG", enc},
        {"Seafile", enc + " (SFConflict ann@example.org 2024-05-01-10-10-10)", enc},
        {"Google Drive", enc + " (1)", enc},
        {"OneDrive", enc + " (12)", enc},
        {"Dropbox, German", enc + " (Anns in Konflikt stehende Kopie 2026-12-10)", enc},
        {"OneDrive for Linux, backup", enc + "-ann-laptop-safeBackup-0001", enc},
        // Clients put the mark before what they take for an extension.
        {"long name, Dropbox",
         "gocryptfs.longname (conflicted copy 2024-05-01).qNWpOZo45aNn0P8QUElMfor2o5jbNWxaD0G1XDMmQYw",
         longEnc},
        {"long name, Syncthing",
         "gocryptfs.longname.sync-conflict-20240501-101010-ABCDEFG."
         "qNWpOZo45aNn0P8QUElMfor2o5jbNWxaD0G1XDMmQYw",
         longEnc},
        {"folder key, Dropbox", "gocryptfs (conflicted copy 2024-05-01).diriv", "gocryptfs.diriv"},
        {"folder key, Syncthing", "gocryptfs.sync-conflict-20240501-101010-ABCDEFG.diriv", "gocryptfs.diriv"},
        {"folder key, at the end", "gocryptfs.diriv (1)", "gocryptfs.diriv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client);
        const auto names = GocryptfsConflicts::unmarkedNames(c.name);
        EXPECT_NE(std::find(names.begin(), names.end(), c.original), names.end()) << c.name;
    }
    // One table entry per client, each exercised above.
    EXPECT_EQ(GocryptfsConflicts::marks().size(), 8u);
}

// Names no table knows: an encrypted name with anything added after it, a
// long name with anything added inside.
TEST(GocryptfsConflicts, OriginalNamesOfCopiesOfUnknownClients) {
    struct Case {
        std::string name;
        std::string original;
    };
    const Case cases[] = {
        {enc + "-ann-laptop", enc},
        {enc + "-ann-laptop-safeBackup-0001", enc},
        {enc + " (Anns in Konflikt stehende Kopie 2026-12-10)", enc},
        {enc + "~from elsewhere", enc},
        {"gocryptfs.longname-ann-laptop." + longEnc.substr(19), longEnc},
        {longEnc + " copy", longEnc},
        {"gocryptfs-ann-laptop.diriv", "gocryptfs.diriv"},
    };
    for (const auto& c : cases) {
        const auto names = GocryptfsConflicts::originalNames(c.name);
        EXPECT_NE(std::find(names.begin(), names.end(), c.original), names.end()) << c.name;
    }
    // An encrypted name is its own (another key's, or damaged), never a copy.
    EXPECT_TRUE(GocryptfsConflicts::originalNames(std::string(43, 'A')).empty());
    EXPECT_TRUE(GocryptfsConflicts::originalNames(longEnc).empty());
    EXPECT_TRUE(GocryptfsConflicts::originalNames("notes.txt").empty());
}

TEST(GocryptfsConflicts, PlausibleNamesAndSyncTemporaries) {
    for (const std::string good : {"a.txt", "Ünïcödé €.odt", "日本語", "emoji \xF0\x9F\x98\x80", ".hidden"})
        EXPECT_TRUE(GocryptfsConflicts::isPlausibleName(good)) << good;
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"), std::string("tab\there"),
          std::string("del\x7F"), std::string("\xC2\x85next line"), std::string("\xC3"),
          std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), std::string("\xFF\xFE"),
          std::string("nul\0x", 5)})
        EXPECT_FALSE(GocryptfsConflicts::isPlausibleName(bad)) << bad;
    const std::pair<std::string, const char*> temporaries[] = {
        {".syncthing." + enc + ".tmp", "Syncthing"},      {"~syncthing~" + enc + ".tmp", "Syncthing"},
        {"." + enc + ".~1a2b3c", "Nextcloud/ownCloud"},   {enc + ".!sync", "Resilio Sync"},
        {".unison." + enc + ".123.unison.tmp", "Unison"}, {enc + ".partial", "rclone/OneDrive"},
    };
    for (const auto& [name, client] : temporaries)
        EXPECT_EQ(GocryptfsConflicts::syncTemporaryClient(name).value_or(""), client) << name;
    for (const auto& name : {enc, enc + " (1)", std::string(".syncthing"), std::string("notes.tmp")})
        EXPECT_FALSE(GocryptfsConflicts::syncTemporaryClient(name)) << name;
}

TEST(GocryptfsConflicts, NamesWithoutAMarkHaveNoOriginal) {
    for (const auto& name :
         {enc, longEnc, std::string("gocryptfs.diriv"), std::string("conflicted copy"),
          enc + " (conflicted copy)", enc + ".sync-conflict-2024", enc + " (x)", std::string(" (1)")})
        EXPECT_TRUE(GocryptfsConflicts::unmarkedNames(name).empty()) << name; // " (1)": nothing would be left
}

TEST(GocryptfsConflicts, EncryptedNameShapes) {
    EXPECT_TRUE(GocryptfsConflicts::isCipherName(enc));
    EXPECT_TRUE(GocryptfsConflicts::isCipherName(std::string(43, 'A'))); // 32 bytes
    EXPECT_TRUE(GocryptfsConflicts::isCipherName(std::string(64, '_'))); // 48 bytes
    EXPECT_TRUE(GocryptfsConflicts::isCipherName(longEnc));
    for (const auto& bad : {std::string(), std::string(21, 'A'), std::string(23, 'A'), std::string(42, 'A'),
                            enc + "=", enc.substr(0, 21) + ".", std::string(256, 'A'), longEnc + ".name",
                            longEnc.substr(0, longEnc.size() - 1), std::string("gocryptfs.diriv")})
        EXPECT_FALSE(GocryptfsConflicts::isCipherName(bad)) << bad;
}

TEST(GocryptfsConflicts, ConflictNameKeepsTheExtensionAndFitsTheLimit) {
    struct Case {
        std::string plain;
        int n;
        std::size_t max;
        std::string shown;
    };
    const Case cases[] = {
        {"report.txt", 1, 255, "report (Conflict 1).txt"},
        {"archive.tar.gz", 2, 255, "archive.tar (Conflict 2).gz"},
        {"Makefile", 3, 255, "Makefile (Conflict 3)"},
        {".bashrc", 1, 255, ".bashrc (Conflict 1)"},
        {"abcdefghij.txt", 1, 24, "abcdefg (Conflict 1).txt"},
        // never cut inside a character: "é" is two bytes
        {"ééééé.txt", 1, 24, "ééé (Conflict 1).txt"},
        // an extension too long to keep is cut like the rest of the name
        {"a.verylongextension", 1, 20, "a.veryl (Conflict 1)"},
    };
    for (const auto& c : cases) {
        const auto shown = GocryptfsConflicts::conflictName(c.plain, c.n, c.max);
        EXPECT_EQ(shown, c.shown) << c.plain;
        EXPECT_LE(shown.size(), c.max);
    }
}

} // namespace
