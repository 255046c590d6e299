#include "vaultkit/mountmode/ClientConfigs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

using namespace vaultkit;
namespace fs = std::filesystem;

// The clients' own lists of their folders.
TEST(ClientConfigs, TheClientsFolderListsAreRead) {
    EXPECT_EQ(ClientConfigs::dropboxFolders(
                  R"J({"personal": {"path": "/home/a/Dropbox"}, "business": {"path": "/home/a/Dropbox (Firm)"}})J"),
              (std::vector<fs::path>{"/home/a/Dropbox (Firm)", "/home/a/Dropbox"})); // in the order of the keys
    EXPECT_TRUE(ClientConfigs::dropboxFolders("not json").empty());
    EXPECT_TRUE(ClientConfigs::dropboxFolders(R"({"personal": {"path": 3}})").empty());
    EXPECT_EQ(ClientConfigs::accountFolders("[Accounts]\n0\\Folders\\1\\localPath=/home/a/Nextcloud/\n"
                                            "0\\Folders\\1\\targetPath=/\n"
                                            "1\\FoldersWithPlaceholders\\2\\localPath=\"/data/Work\"\n"),
              (std::vector<fs::path>{"/home/a/Nextcloud", "/data/Work"}));
}

