// The parts of Vault that need no mounted volume: names, the password rule,
// what counts as an empty folder, backup file names and opening a record
// from its three copies.
#include "../../support/SharedRuleCases.h"
#include "support/TestSupport.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <unistd.h>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

using TempFolder = vaulttest::TempDir;
using vaulttest::readFile;
using vaulttest::writeFile;

VaultConfig record(const std::string& name) {
    VaultConfig c;
    c.id = Uuid::random();
    c.name = name;
    c.createdAt = ConfigCoding::parseDate("2025-01-01T00:00:00Z").value();
    c.recoveryPublicKey = std::vector<std::uint8_t>(32, 3);
    c.recoveryBlobs = {SealedSecret{std::vector<std::uint8_t>(32, 4), std::vector<std::uint8_t>(50, 5)}};
    return c;
}

// A driver whose volumes are the paths in `mounted`; counts the looks at the
// mount state.
class ListedMounts final : public DiskImage {
public:
    explicit ListedMounts(std::set<fs::path> mounted)
        : mounted_(std::move(mounted)) {}
    int looks = 0;
    std::string imageName() const override { return "data.test"; }
    std::vector<std::string> readmeHowToOpen() const override { return {}; }
    void create(const fs::path&, const std::string&, const std::string&) override {}
    void attach(const fs::path&, const std::string&, const fs::path&, MountMode) override {}
    void detach(const std::string&, bool) override {}
    bool checkPassword(const fs::path&, const std::string&) override { return true; }
    void changePassword(const fs::path&, const std::string&, const std::string&) override {}
    std::optional<Attachment> attachment(const fs::path&) override { return std::nullopt; }
    std::vector<std::string> busyProcesses(const fs::path&) override { return {}; }
    bool isMountPoint(const fs::path& path) override {
        ++looks;
        return mounted_.count(path) > 0;
    }
    std::vector<bool> areMountPoints(const std::vector<fs::path>& paths) override {
        ++looks;
        std::vector<bool> out;
        for (const auto& p : paths)
            out.push_back(mounted_.count(p) > 0);
        return out;
    }
    std::string canonical(const std::string& path) override { return path; }

private:
    std::set<fs::path> mounted_;
};

// Restores the backup folder whatever a test did with it.
struct BackupDirectoryGuard {
    std::optional<fs::path> saved = Vault::backupDirectory();
    ~BackupDirectoryGuard() { Vault::setBackupDirectory(saved); }
};

} // namespace

TEST(VaultNames, IsVaultDirName) {
    const std::pair<const char*, bool> cases[] = {
        {".a.hushcoffer", true},  {".My Vault.hushcoffer", true}, {".hushcoffer", false},
        {"..hushcoffer", false},  {"a.hushcoffer", false},        {".a.hushcoffer/", false},
        {".a.Hushcoffer", false}, {".a.hushcoffer.bak", false},   {"", false},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(Vault::isVaultDirName(name), expected) << name;
}

TEST(VaultPasswordRule, Validate) {
    const std::pair<const char*, bool> cases[] = {
        {"1234567", false},
        {"12345678", true},
        {"1234\n5678", false},
        {"12345678\n", false},
        {"1234567\r", false},
        {"1234\v5678", false},
        {"1234\f5678", false},
        {"1234\xC2\x85"
         "5678",
         false}, // U+0085
        {"1234\xE2\x80\xA8"
         "5678",
         false}, // U+2028
        {"1234\xE2\x80\xA9"
         "5678",
         false},            // U+2029
        {"😀😀😀😀😀😀😀😀", true}, // 8 characters, 32 bytes
        {"😀😀😀😀😀😀😀", false}, // 7 characters, 28 bytes
        {"e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81",
         false}, // 7 é as e+accent
        {"👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨"
         "‍"
         "👩"
         "‍"
         "👧",
         false}, // 7 family emoji, many code points
        {"pass word", true},
        {"\xff\xfe"
         "abcdefgh",
         false}, // not UTF-8
    };
    for (const auto& [pw, ok] : cases) {
        if (ok)
            EXPECT_NO_THROW(Vault::validate(pw)) << pw;
        else
            EXPECT_THROW(Vault::validate(pw), VaultError) << pw;
    }
    EXPECT_THROW(Vault::validate(std::string("1234\0"
                                             "5678",
                                             9)),
                 VaultError)
        << "NUL";
    try {
        Vault::validate("short");
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::weakPassword());
    }
}

TEST(VaultVisibleItems, IgnoresLockedLookFilesAndApplicationLinks) {
    TempFolder t;
    const fs::path f = t.path();
    writeFile(f / ".DS_Store", "x");
    writeFile(f / "Icon\r", "");
    writeFile(f / ".localized", "");
    writeFile(f / ".directory", "[Desktop Entry]\nIcon=/x.png\n");
    fs::create_symlink("/usr/share/applications/hushcoffer.desktop", f / "Open Hushcoffer");
    fs::create_symlink("/Applications/Hushcoffer.app", f / "Hushcoffer");
    EXPECT_TRUE(Vault::visibleItems(f).empty());

    fs::create_symlink("/etc/hostname", f / "a link");
    writeFile(f / ".hidden", "");
    writeFile(f / "Icon", ""); // without the carriage return it is a real file
    auto items = Vault::visibleItems(f);
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{".hidden", "Icon", "a link"}));
    EXPECT_THROW(Vault::visibleItems(f / "missing"), fs::filesystem_error);
}

// The cases the creation sheet and hushcoffer-cli create run too
// (tests/support/SharedRuleCases.h).
TEST(VaultTarget, IsUsableWhenMissingOrHoldingNothingTheUserWouldSee) {
    TempFolder t;
    int n = 0;
    for (const auto& c : sharedrules::targetCases()) {
        SCOPED_TRACE(c.what);
        const fs::path target = t.path() / ("T" + std::to_string(++n));
        c.make(target);
        EXPECT_EQ(Vault::targetIsUsable(target), c.usable);
    }
}

TEST(VaultBackupURL, FollowsTheCanonicalPath) {
    BackupDirectoryGuard guard;
    TempFolder t;
    const fs::path dir = t.path() / ".A.hushcoffer";
    fs::create_directory(dir);
    Vault::setBackupDirectory(std::nullopt);
    EXPECT_FALSE(Vault::backupURL(dir));

    Vault::setBackupDirectory(t.path() / "backups");
    const auto url = Vault::backupURL(dir);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->parent_path(), t.path() / "backups");
    EXPECT_TRUE(std::regex_match(url->filename().string(), std::regex("vault-[0-9a-f]{16}\\.json"))) << *url;
    fs::create_directory_symlink(t.path(), t.path() / "link");
    EXPECT_EQ(Vault::backupURL(dir.string() + "/"), url);
    EXPECT_EQ(Vault::backupURL(t.path() / "link" / ".A.hushcoffer"), url);
    EXPECT_EQ(Vault::backupURL(t.path() / "x" / ".." / ".A.hushcoffer"), url);
    EXPECT_NE(Vault::backupURL(t.path() / ".B.hushcoffer"), url);
}

TEST(VaultOpen, LoadsFromTheCopiesWithoutRepairing) {
    BackupDirectoryGuard guard;
    TempFolder t;
    Vault::setBackupDirectory(t.path() / "support" / "backups");
    const fs::path dir = t.path() / ".Photos.hushcoffer";
    fs::create_directory(dir);
    const VaultConfig c = record("Photos");
    ConfigStore::save(c, dir / "vault.json", Vault::backupURL(dir));
    ASSERT_TRUE(fs::exists(*Vault::backupURL(dir)));

    auto v = Vault::open(dir);
    EXPECT_EQ(v->config(), c);
    EXPECT_EQ(v->mountPoint(), t.path() / "Photos");
    EXPECT_EQ(v->name(), "Photos");
    EXPECT_EQ(v->configURL(), dir / "vault.json");
    EXPECT_EQ(v->image(), dir / DiskImage::platformDefault()->imageName());

    // A damaged vault.json: the .bak copy is used, vault.json stays as it is.
    writeFile(dir / "vault.json", "{\"autoLock\": ");
    EXPECT_EQ(Vault::open(dir)->config(), c);
    EXPECT_EQ(readFile(dir / "vault.json"), "{\"autoLock\": ");

    // A date with fractional seconds makes a copy unreadable, too.
    std::string fractional = ConfigCoding::encode(c);
    fractional.replace(fractional.find("00:00:00Z"), 9, "00:00:00.5Z");
    writeFile(dir / "vault.json", fractional);
    writeFile(dir / "vault.json.bak", "");
    EXPECT_EQ(Vault::open(dir)->config(), c) << "from the backup copy";
    EXPECT_EQ(readFile(dir / "vault.json.bak"), "");

    // Both copies in the vault gone: the backup copy; without it configMissing.
    fs::remove(dir / "vault.json");
    fs::remove(dir / "vault.json.bak");
    EXPECT_EQ(Vault::open(dir)->config(), c);
    EXPECT_FALSE(fs::exists(dir / "vault.json")) << "opening repairs nothing";
    Vault::setBackupDirectory(std::nullopt);
    try {
        Vault::open(dir);
        FAIL();
    } catch (const VaultError& e) {
        EXPECT_EQ(e, VaultError::configMissing((dir / "vault.json").string()));
    }
}

TEST(VaultUnlockedStates, AsksEachDriverOnceAndKeepsTheOrder) {
    auto one = std::make_shared<ListedMounts>(std::set<fs::path>{"/v/a/A", "/v/c/C"});
    auto two = std::make_shared<ListedMounts>(std::set<fs::path>{"/v/d/D"});
    const auto vault = [](const char* parent, const char* name, std::shared_ptr<DiskImage> d) {
        return std::make_shared<Vault>(fs::path(parent) / ("." + std::string(name) + ".hushcoffer"),
                                       record(name), std::move(d));
    };
    // the drivers interleaved, and a missing entry
    const std::vector<std::shared_ptr<Vault>> vaults = {
        vault("/v/a", "A", one), vault("/v/b", "B", two), nullptr,
        vault("/v/c", "C", one), vault("/v/d", "D", two), vault("/v/e", "E", one)};
    EXPECT_EQ(Vault::unlockedStates(vaults), (std::vector<bool>{true, false, false, true, true, false}));
    EXPECT_EQ(one->looks, 1);
    EXPECT_EQ(two->looks, 1);
    // each answer is what the vault says for itself
    for (const auto& v : vaults) {
        if (v) {
            EXPECT_EQ(Vault::unlockedStates({v}), std::vector<bool>{v->isUnlocked()}) << v->name();
        }
    }
    EXPECT_TRUE(Vault::unlockedStates({}).empty());
}
