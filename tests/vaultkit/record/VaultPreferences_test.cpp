#include "vaultkit/record/VaultPreferences.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vaultkit;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string vaultA = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
const std::string vaultB = "9B1DEB4D-3B7D-4BAD-9BDD-2B0D7B3DCB6D";

std::vector<fs::path> asideFiles(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with("vault-settings.json.unreadable-")) found.push_back(e.path());
    return found;
}

} // namespace

TEST(VaultPreferences, KeepsValuesPerVaultAndRemovesThem) {
    vaulttest::TempDir tmp("hc-prefs");
    const fs::path support = tmp / "support";  // created on the first write, mode 0700
    VaultPreferences prefs(support);

    EXPECT_FALSE(prefs.value(vaultA, "mountMode")) << "no file yet";
    prefs.setValue(vaultA, "mountMode", "local");
    prefs.setValue(vaultA, "keyring", json{{"enabled", true}});
    prefs.setValue(vaultB, "mountMode", "shared");
    prefs.setValue(vaultA, "mountMode", "shared");

    // A second instance (the other program) sees every change at once.
    VaultPreferences other(support);
    EXPECT_EQ(other.text(vaultA, "mountMode"), "shared");
    EXPECT_EQ(other.value(vaultA, "keyring"), (json{{"enabled", true}}));
    EXPECT_EQ(other.text(vaultB, "mountMode"), "shared");
    EXPECT_FALSE(other.text(vaultA, "keyring")) << "not a text";

    struct stat st {};
    ASSERT_EQ(::stat(prefs.file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(support.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    prefs.remove(vaultA, "mountMode");
    EXPECT_FALSE(prefs.value(vaultA, "mountMode"));
    EXPECT_TRUE(prefs.value(vaultA, "keyring")) << "other keys stay";
    prefs.forget(vaultA);
    EXPECT_FALSE(prefs.value(vaultA, "keyring"));
    EXPECT_EQ(prefs.text(vaultB, "mountMode"), "shared") << "other vaults stay";
    const json root = json::parse(vaulttest::readFile(prefs.file()));
    EXPECT_FALSE(root.contains(vaultA)) << "a vault with no keys left has no entry";
}

// Entries written by a later version (other vaults' keys, keys of its own)
// survive every change this version makes.
TEST(VaultPreferences, KeepsWhatItDoesNotKnow) {
    vaulttest::TempDir tmp("hc-prefs");
    VaultPreferences prefs(tmp.path());
    const json later = {{vaultA, {{"futureKey", {1, 2, 3}}, {"mountMode", "local"}}},
                        {vaultB, {{"colour", "teal"}}},
                        {"schema", 7}};
    vaulttest::writeFile(prefs.file(), later.dump());

    prefs.setValue(vaultA, "mountMode", "automatic");
    prefs.remove(vaultB, "unknownKey");
    prefs.forget("no-such-vault");

    json expected = later;
    expected[vaultA]["mountMode"] = "automatic";
    EXPECT_EQ(json::parse(vaulttest::readFile(prefs.file())), expected);
}

// A file that cannot be read reads as empty, is left alone by changes that
// change nothing, and is set aside byte for byte (never overwritten) by the
// first real change.
TEST(VaultPreferences, ADamagedFileIsKeptAside) {
    for (const std::string& damaged : {std::string("{\"" + vaultA + "\": {\"mountMode\": \"loc"),
                                      std::string("[\"local\"]"), std::string("\0\xff\x01", 3)}) {
        SCOPED_TRACE(damaged);
        vaulttest::TempDir tmp("hc-prefs");
        VaultPreferences prefs(tmp.path());
        vaulttest::writeFile(prefs.file(), damaged);

        EXPECT_FALSE(prefs.value(vaultA, "mountMode"));
        prefs.remove(vaultA, "mountMode");
        prefs.forget(vaultA);
        EXPECT_EQ(vaulttest::readFile(prefs.file()), damaged) << "nothing to change: not rewritten";
        EXPECT_TRUE(asideFiles(tmp.path()).empty());

        prefs.setValue(vaultB, "mountMode", "shared");
        const auto aside = asideFiles(tmp.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(vaulttest::readFile(aside[0]), damaged);
        EXPECT_EQ(prefs.text(vaultB, "mountMode"), "shared");
    }
}

// The application and the command-line tool change the file at the same time:
// no change of either may be lost (without the lock, one process's
// read-modify-write overwrites what the other wrote in between).
TEST(VaultPreferences, ConcurrentWritersFromTwoProcessesLoseNothing) {
    vaulttest::TempDir tmp("hc-prefs");
    const fs::path support = tmp / "support";
    constexpr int rounds = 150;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int status = 0;
            try {
                VaultPreferences prefs(support);
                const std::string vault = c == 0 ? vaultA : vaultB;
                for (int i = 0; i < rounds; ++i) prefs.setValue(vault, "k" + std::to_string(i), i);
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    VaultPreferences prefs(support);
    for (const auto& vault : {vaultA, vaultB})
        for (int i = 0; i < rounds; ++i)
            EXPECT_EQ(prefs.value(vault, "k" + std::to_string(i)), json(i)) << vault << " k" << i;
    EXPECT_TRUE(asideFiles(support).empty()) << "no torn file was ever seen";
}
