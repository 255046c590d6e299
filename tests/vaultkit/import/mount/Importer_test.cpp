// Importing into a real unlocked vault (gocryptfs over FUSE), as an ordinary user.
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace vaultkit;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "correct horse battery";

class ImporterMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto driver = vaulttest::fastGocryptfs();
        parent = tmp / "home";
        outside = tmp / "outside";
        fs::create_directory(parent);
        fs::create_directory(outside);
        vault = Vault::create(parent, "Vault", kPassword, Mnemonic::generate(), {}, driver);
        ASSERT_TRUE(vault->isUnlocked());
    }
    void TearDown() override {
        if (vault && vault->isUnlocked()) {
            try {
                vault->lock(true);
            } catch (...) {
            }
        }
    }
    static void write(const fs::path& p, std::size_t size, char fill = 'x') {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << std::string(size, fill);
    }

    vaulttest::TempDir tmp{"hc-import"};
    fs::path parent, outside;
    std::shared_ptr<Vault> vault;
};

TEST_F(ImporterMountTest, ImportsFilesFoldersAndLinksAndChecksThem) {
    const fs::path mp = vault->mountPoint();
    write(outside / "report.pdf", 1234);
    write(outside / "album/a.jpg", 10);
    write(outside / "album/b.jpg", 10);
    write(outside / "album/sub/c.jpg", 10);
    fs::create_directory(outside / "album/empty");
    fs::create_symlink("a.jpg", outside / "album/link-to-a");
    fs::create_symlink("/nowhere/at/all", outside / "album/dangling");
    fs::create_symlink("report.pdf", outside / "shortcut");
    ::chmod((outside / "album/b.jpg").c_str(), 0640);
    const fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(outside / "report.pdf", old);
    write(mp / "report.pdf", 1); // already in the vault: the import becomes "report 2.pdf"

    std::vector<fs::path> announced;
    std::vector<double> fractions;
    const std::vector<fs::path> sources{outside / "report.pdf", outside / "album", outside / "shortcut",
                                        outside / "album/"};
    const auto results = Importer::copy(
        sources, *vault, [&](const fs::path& p) { announced.push_back(p); },
        [&](double f) { fractions.push_back(f); });

    EXPECT_EQ(announced, sources);
    ASSERT_EQ(results.size(), 4u);
    for (const auto& r : results)
        EXPECT_TRUE(r.ok()) << r.source << ": " << ::testing::PrintToString(r.problems);
    EXPECT_EQ(results[0].destination, mp / "report 2.pdf");
    EXPECT_EQ(results[1].destination, mp / "album");
    EXPECT_EQ(results[2].destination, mp / "shortcut");
    EXPECT_EQ(results[3].destination, mp / "album 2"); // trailing separator: still named after the folder
    EXPECT_NE(results[0].id, results[1].id);

    EXPECT_EQ(results[0].files, 1);
    EXPECT_EQ(results[0].folders, 0);
    EXPECT_EQ(results[0].bytes, 1234);
    // a, b, sub/c, link-to-a, dangling; the folders sub and empty (the album
    // itself is neither)
    EXPECT_EQ(results[1].files, 5);
    EXPECT_EQ(results[1].folders, 2);
    EXPECT_EQ(results[1].bytes, 30);
    EXPECT_EQ(results[2].files, 1);
    EXPECT_EQ(results[2].bytes, 0);

    // the copy keeps links as links, modes and times
    EXPECT_TRUE(fs::is_symlink(mp / "album/link-to-a"));
    EXPECT_EQ(fs::read_symlink(mp / "album/dangling"), "/nowhere/at/all");
    EXPECT_EQ(fs::read_symlink(mp / "shortcut"), "report.pdf");
    EXPECT_TRUE(fs::is_directory(mp / "album/empty"));
    EXPECT_EQ(vaulttest::readFile(mp / "album/sub/c.jpg"), std::string(10, 'x'));
    struct stat st {};
    ASSERT_EQ(::stat((mp / "album/b.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(fs::last_write_time(mp / "report 2.pdf"), old);
    // the sources are untouched
    EXPECT_TRUE(fs::exists(outside / "album/sub/c.jpg"));
    EXPECT_EQ(fs::file_size(outside / "report.pdf"), 1234u);

    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(fractions.back(), 1.0);
}

TEST_F(ImporterMountTest, EmptyFolderAndEmptyList) {
    fs::create_directory(outside / "nothing");
    const auto results = Importer::copy({outside / "nothing"}, *vault);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].ok());
    EXPECT_EQ(results[0].files, 0) << "an empty folder holds no file";
    EXPECT_EQ(results[0].folders, 0);
    EXPECT_EQ(results[0].bytes, 0);
    EXPECT_TRUE(fs::is_directory(vault->mountPoint() / "nothing"));

    EXPECT_TRUE(Importer::copy({}, *vault).empty());
}

TEST_F(ImporterMountTest, LockedVaultIsRefusedBeforeAnyProgress) {
    write(outside / "file", 5);
    vault->lock(false);
    ASSERT_FALSE(vault->isUnlocked());
    int calls = 0;
    try {
        Importer::copy(
            {outside / "file"}, *vault, [&](const fs::path&) { ++calls; }, [&](double) { ++calls; });
        FAIL() << "no error";
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), VaultError::Case::io);
        EXPECT_EQ(e.payload(), std::vector<std::string>{"vault is locked"});
    }
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(fs::exists(vault->mountPoint() / "file"));
}

TEST_F(ImporterMountTest, ProblemsAreReportedAndTheOtherItemsStillCopied) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads unreadable files";
    write(outside / "mixed/fine", 7);
    write(outside / "mixed/secret", 9);
    ::chmod((outside / "mixed/secret").c_str(), 0);
    write(outside / "after", 3);

    const auto results = Importer::copy({outside / "mixed", outside / "gone", outside / "after"}, *vault);
    ::chmod((outside / "mixed/secret").c_str(), 0600);
    ASSERT_EQ(results.size(), 3u);

    // an unreadable file: the copier's error first, then what did not arrive
    const auto& mixed = results[0];
    EXPECT_FALSE(mixed.ok());
    ASSERT_EQ(mixed.problems.size(), 2u) << ::testing::PrintToString(mixed.problems);
    EXPECT_EQ(mixed.problems[0].rfind("cp: ", 0), 0u);
    EXPECT_NE(mixed.problems[0].find("Permission denied"), std::string::npos);
    EXPECT_NE(mixed.problems[0].back(), '\n');
    EXPECT_EQ(mixed.problems[1], "missing: secret");
    EXPECT_EQ(mixed.files, 2);
    EXPECT_EQ(mixed.bytes, 16);
    EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / "mixed/fine"), std::string(7, 'x'));

    // a source that is not there: only the copier's problem
    const auto& gone = results[1];
    ASSERT_EQ(gone.problems.size(), 1u) << ::testing::PrintToString(gone.problems);
    EXPECT_EQ(gone.problems[0].rfind("cp: cannot stat", 0), 0u)
        << gone.problems[0] << ": the tool named once";
    EXPECT_EQ(gone.files, 1);

    EXPECT_TRUE(results[2].ok());
    EXPECT_TRUE(fs::exists(vault->mountPoint() / "after"));
}

TEST_F(ImporterMountTest, ADamagedCopyIsCutAt51Problems) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads unreadable files";
    for (int i = 0; i < 80; ++i) {
        const fs::path f = outside / "many" / ("f" + std::to_string(100 + i));
        write(f, 1);
        ::chmod(f.c_str(), 0);
    }
    const auto results = Importer::copy({outside / "many"}, *vault);
    for (const auto& e : fs::directory_iterator(outside / "many"))
        ::chmod(e.path().c_str(), 0600);
    ASSERT_EQ(results.size(), 1u);
    ASSERT_EQ(results[0].problems.size(), 51u);
    EXPECT_EQ(results[0].problems[0].rfind("cp: ", 0), 0u);
    EXPECT_EQ(results[0].problems[1], "missing: f100");
    EXPECT_EQ(results[0].problems[50], "missing: f149");
    EXPECT_EQ(results[0].files, 80);
}

TEST_F(ImporterMountTest, LargeFileReportsGrowingFractions) {
    // 48 MiB takes long enough through the encrypted file system for the
    // destination to be sampled while the copy runs.
    {
        std::ofstream out(outside / "big.bin", std::ios::binary);
        const std::string block(1 << 20, 'z');
        for (int i = 0; i < 48; ++i)
            out << block;
    }
    write(outside / "small", 1 << 20);
    std::vector<double> fractions;
    const auto results = Importer::copy({outside / "big.bin", outside / "small"}, *vault, {},
                                        [&](double f) { fractions.push_back(f); });
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].ok() && results[1].ok());
    ASSERT_GE(fractions.size(), 2u);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_GT(fractions.front(), 0.0);
    EXPECT_EQ(fractions.back(), 1.0);
    // after the big file alone: 48 of 49 MiB
    EXPECT_NE(std::find_if(fractions.begin(), fractions.end(),
                           [](double f) { return std::abs(f - 48.0 / 49.0) < 1e-9; }),
              fractions.end());
}

} // namespace

namespace {

// What an import killed on its way leaves: a hidden, cut-off copy under a
// temporary name, never under the item's name; the next import removes this
// computer's leftovers of ended processes and keeps any other.
TEST_F(ImporterMountTest, TemporaryCopiesAreNamedOnlyWhenCompleteAndLeftoversGo) {
    const fs::path mp = vault->mountPoint();
    write(outside / "photo.jpg", 4096);
    const auto results = Importer::copy({outside / "photo.jpg"}, *vault);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].ok()) << ::testing::PrintToString(results[0].problems);
    EXPECT_EQ(results[0].destination, mp / "photo.jpg");
    for (const auto& e : fs::directory_iterator(mp))
        EXPECT_FALSE(e.path().filename().string().starts_with(Importer::temporaryPrefix)) << e.path();

    // Leftovers: one of an ended process (pid 0 never runs an import), one of
    // an earlier boot, one of a process still running (this one), one of
    // another computer; each a cut-off copy.
    std::string machine, boot;
    {
        std::ifstream m("/etc/machine-id"), b("/proc/sys/kernel/random/boot_id");
        std::getline(m, machine);
        std::getline(b, boot);
    }
    auto tag = [](std::string id) {
        std::string out;
        for (char c : id)
            if (std::isxdigit(static_cast<unsigned char>(c)) && out.size() < 8) out += c;
        return out.empty() ? std::string("0") : out;
    };
    const std::string prefix(Importer::temporaryPrefix);
    const std::string here = prefix + tag(machine) + "-" + tag(boot) + "-";
    const fs::path ended = mp / (here + "999999999-aaaaaaaaaaaa");
    const fs::path earlierBoot =
        mp / (prefix + tag(machine) + "-0bad0bad-" + std::to_string(::getpid()) + "-bbbb");
    const fs::path running = mp / (here + std::to_string(::getpid()) + "-cccccccccccc");
    const fs::path elsewhere = mp / (prefix + "12345678-" + tag(boot) + "-1-dddddddddddd");
    write(ended / "big.bin", 100);
    write(earlierBoot, 10);
    write(running, 10);
    write(elsewhere, 10);

    write(outside / "next.txt", 3);
    const auto again = Importer::copy({outside / "next.txt"}, *vault);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(again[0].ok());
    EXPECT_FALSE(fs::exists(ended));
    EXPECT_FALSE(fs::exists(earlierBoot));
    EXPECT_TRUE(fs::exists(running)) << "an import still running keeps its copy";
    EXPECT_TRUE(fs::exists(elsewhere)) << "another computer's copy is that computer's to remove";
    EXPECT_EQ(vaulttest::readFile(mp / "photo.jpg"), std::string(4096, 'x'));
}

} // namespace
