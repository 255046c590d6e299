#include "vaultkit/mountmode/MountModePolicy.h"

#include <gtest/gtest.h>

using namespace vaultkit;
using Finding = SyncedFolders::Finding;

TEST(MountModePolicy, TheUsersChoiceOverridesWhatWasFound) {
    using Choice = MountModePolicy::Choice;
    using Mode = DiskImage::MountMode;
    const Finding dropbox{Finding::Kind::marker, "Dropbox", "/home/u/Dropbox", ".dropbox"};
    struct Case {
        Choice choice;
        std::optional<Finding> synced;
        Mode mode;
    };
    const Case cases[] = {
        {Choice::automatic, std::nullopt, Mode::local},
        {Choice::automatic, dropbox, Mode::shared},
        {Choice::local, dropbox, Mode::local},
        {Choice::shared, std::nullopt, Mode::shared},
    };
    for (const auto& c : cases) {
        const auto d = MountModePolicy::decide(c.choice, c.synced);
        EXPECT_EQ(d.mode, c.mode) << MountModePolicy::name(c.choice);
        EXPECT_EQ(d.synced, c.synced) << "what was found is kept for the explanation";
    }
    for (const Choice c : {Choice::automatic, Choice::local, Choice::shared})
        EXPECT_EQ(MountModePolicy::parseChoice(MountModePolicy::name(c)), c);
    EXPECT_EQ(MountModePolicy::parseChoice("Local"), std::nullopt);
    EXPECT_EQ(MountModePolicy::parseChoice(""), std::nullopt);
}

// What the user is told names who keeps the folder in sync and where; a
// choice against what was found says so.
TEST(MountModePolicy, TheExplanationNamesWhatWasFound) {
    using Choice = MountModePolicy::Choice;
    using E = MountModePolicy::Explanation;
    const Finding dropbox{Finding::Kind::marker, "Dropbox", "/home/u/Dropbox", ".dropbox"};
    const Finding nfs{Finding::Kind::mount, "network file system (NFS)", "/mnt/share", "nfs4"};
    struct Case {
        Choice choice;
        std::optional<Finding> synced;
        E expected;
    };
    const Case cases[] = {
        {Choice::automatic, std::nullopt, {"mountMode.why.local", {}}},
        {Choice::automatic, dropbox, {"mountMode.why.synced", {"Dropbox", "/home/u/Dropbox"}}},
        {Choice::automatic, nfs, {"mountMode.why.network", {"nfs4", "/mnt/share"}}},
        {Choice::local, std::nullopt, {"mountMode.why.chosenLocal", {}}},
        {Choice::local, dropbox, {"mountMode.why.chosenLocalSynced", {"Dropbox"}}},
        {Choice::local, nfs, {"mountMode.why.chosenLocalSynced", {"nfs4"}}},
        {Choice::shared, std::nullopt, {"mountMode.why.chosenShared", {}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MountModePolicy::explain(MountModePolicy::decide(c.choice, c.synced)), c.expected)
            << c.expected.key;
}
