// hushcoffer-cli as a user runs it: the real program, real volumes.
#include "support/CliRunner.h"
#include "support/TestSupport.h"

#include "../../support/SharedRuleCases.h"

#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/record/VaultPreferences.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using vaultkit::Exec::runSync;

namespace {

using clitest::CliRun;
using clitest::cliPath;

const std::string kPassword = "plain old password";

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        support = tmp / "support";
        parent = tmp / "home";
        fs::create_directory(parent);
        ::setenv("HC_SUPPORT_DIR", support.c_str(), 1);
        vault = parent / "My Vault";
        dir = parent / ".My Vault.hushcoffer";
    }
    void TearDown() override { ::unsetenv("HC_SUPPORT_DIR"); }

    CliRun cli(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt) {
        return clitest::runCli(cliPath(), args, input);
    }
    std::vector<std::string> registry() {
        return vaultkit::Registry::read(support / "vaults.json").value_or(std::vector<std::string>{});
    }
    void createVault() {
        auto r = cli({"create", "--password-stdin", parent.string(), "My Vault"}, kPassword + "\n");
        ASSERT_EQ(r.status, 0) << r.err;
    }

    vaulttest::TempDir tmp{"hc-cli"};
    fs::path support, parent, vault, dir;
};

// A process working inside a folder, so the volume there is busy.
class Holder {
public:
    explicit Holder(const fs::path& inside) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(inside.c_str()) != 0) ::_exit(127);
            ::execl("/bin/sleep", "sleep", "120", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        vaulttest::waitUntil(
            [&] {
                std::error_code ec;
                return fs::read_symlink("/proc/" + std::to_string(pid_) + "/cwd", ec) == inside &&
                       vaulttest::readFile("/proc/" + std::to_string(pid_) + "/comm") == "sleep\n";
            },
            5);
    }
    ~Holder() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_;
};

} // namespace

TEST_F(CliTest, RoundTrip) {
    // create: the phrase on standard output as one line, the advice on standard error.
    auto r = cli({"create", parent.string(), "My Vault", "--password-stdin"}, kPassword + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto outLines = splitLines(r.out);
    ASSERT_EQ(outLines.size(), 1u) << r.out;
    int words = 0;
    for (std::size_t i = 0; i < outLines[0].size(); ++i)
        if (outLines[0][i] != ' ' && (i == 0 || outLines[0][i - 1] == ' ')) ++words;
    EXPECT_EQ(words, 12) << outLines[0];
    EXPECT_NE(r.err.find("Write down"), std::string::npos) << r.err;
    EXPECT_EQ(registry(), std::vector<std::string>{dir.string()});
    EXPECT_TRUE(fs::exists(support / "backups")) << "third copies go to the support folder";

    const std::string unlockedLine = "My Vault\tunlocked\t" + vault.string();
    const std::string lockedLine = "My Vault\tlocked\t" + vault.string();
    r = cli({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, unlockedLine + "\n");

    r = cli({"lock", vault.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cli({"status"}).out, lockedLine + "\n");

    // A wrong password: one line on standard error, the banner's text.
    r = cli({"unlock", "--password-stdin", vault.string()}, "not the password\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "hushcoffer-cli: The password is not correct.\n");
    EXPECT_EQ(cli({"status"}).out, lockedLine + "\n");
    // The locked folder stays read-only: nothing can be dropped into it that
    // would block the next unlock.
    EXPECT_EQ(fs::status(vault).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);

    // The hidden directory and an item inside it name the vault too.
    r = cli({"unlock", (dir / "vault.json").string(), "--password-stdin"}, kPassword);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cli({"status", dir.string()}).out, unlockedLine + "\n");
    vaulttest::writeFile(vault / "note.txt", "hello");

    // check works while unlocked by another process and while locked.
    EXPECT_EQ(cli({"check", "--password-stdin", vault.string()}, kPassword + "\n").status, 0);
    r = cli({"check", "--password-stdin", vault.string()}, "wrong password\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "hushcoffer-cli: The password is not correct.\n");

    // A busy volume: exit 3, the holder named; --force locks anyway.
    {
        Holder holder(vault);
        r = cli({"lock", vault.string()});
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find("sleep"), std::string::npos) << r.err;
        EXPECT_EQ(splitLines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(cli({"status", vault.string()}).out, unlockedLine + "\n");
        r = cli({"lock", vault.string(), "--force"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(cli({"status", vault.string()}).out, lockedLine + "\n");
    EXPECT_EQ(cli({"check", "--password-stdin", vault.string()}, kPassword + "\n").status, 0);

    // forget touches only the registry; add finds the vault from its visible folder.
    r = cli({"forget", dir.string() + "/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(registry().empty());
    EXPECT_TRUE(fs::exists(dir / "vault.json"));
    r = cli({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(cli({"forget", dir.string()}).status, 1);

    r = cli({"add", vault.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(registry(), std::vector<std::string>{dir.string()});
    r = cli({"add", vault.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(registry().size(), 1u) << "no duplicate";

    r = cli({"unlock", "--password-stdin", "My Vault"}, kPassword + "\n"); // relative to the working folder
    EXPECT_NE(r.status, 0) << "the test's working folder holds no vault";
    EXPECT_EQ(cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n").status, 0);
    EXPECT_EQ(vaulttest::readFile(vault / "note.txt"), "hello");
    EXPECT_EQ(cli({"unlock", vault.string()}).status, 0) << "already unlocked: no password asked";
    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
}

// The target folder as the library and the creation sheet judge it
// (tests/support/SharedRuleCases.h): refused as existing exactly when it
// holds something the user would see.
TEST_F(CliTest, CreateRefusesATargetExactlyWhenTheLibraryDoes) {
    int n = 0;
    for (const auto& c : sharedrules::targetCases()) {
        SCOPED_TRACE(c.what);
        const std::string name = "T" + std::to_string(++n);
        const fs::path target = parent / name;
        c.make(target);
        const auto r = cli({"create", "--password-stdin", parent.string(), name}, kPassword + "\n");
        const std::string refusal = "\u201c" + target.string() + "\u201d already exists";
        const bool refused = r.err.find(refusal) != std::string::npos;
        EXPECT_EQ(refused, !c.usable) << r.err;
        if (r.status == 0) {
            const auto locked = cli({"lock", target.string()});
            EXPECT_EQ(locked.status, 0) << locked.err;
        } else {
            EXPECT_TRUE(!c.usable || !fs::is_directory(target)) << "a usable folder is created: " << r.err;
        }
    }
}

TEST_F(CliTest, FailuresAndUsage) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> input;
        int status;
        std::string errPart; // expected in standard error
    };
    fs::create_directory(parent / "plain");
    const std::vector<Case> cases = {
        {{}, {}, 2, "no command"},
        {{"frobnicate"}, {}, 2, "unknown command"},
        {{"lock"}, {}, 2, "usage: hushcoffer-cli lock"},
        {{"lock", "a", "b"}, {}, 2, "usage"},
        {{"unlock", "--force", "x"}, {}, 2, "unknown option"},
        {{"status", "--password-stdin"}, {}, 2, "unknown option"},
        {{"create", parent.string()}, {}, 2, "usage"},
        {{"create", "--password-stdin", parent.string(), "Weak"},
         std::string("short\n"),
         1,
         "at least 8 characters"},
        {{"create", "--password-stdin", parent.string(), ".hidden"},
         kPassword + "\n",
         1,
         "cannot be used for a vault"},
        {{"create", "--password-stdin", parent.string(), "NoInput"}, std::string(""), 1, "standard input"},
        {{"add", (parent / "plain").string()}, {}, 1, "not a Hushcoffer vault"},
        {{"unlock", "--password-stdin", (parent / "plain").string()},
         kPassword + "\n",
         1,
         "not a Hushcoffer vault"},
        {{"status", (parent / "plain").string()}, {}, 1, "not a Hushcoffer vault"},
        {{"forget", (parent / "plain").string()}, {}, 1, "not a registered vault"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        auto r = cli(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find(c.errPart), std::string::npos) << joined << "\n" << r.err;
    }
    EXPECT_EQ(fs::directory_iterator(parent)->path().filename(), "plain") << "nothing was created";

    for (const std::string command : {"create", "unlock", "lock", "check", "status", "add", "forget"}) {
        auto r = cli({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind("usage: hushcoffer-cli " + command, 0), 0u) << r.out;
    }
    auto r = cli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("forget VAULT"), std::string::npos);
}

TEST_F(CliTest, RegistryEntriesThatNoLongerOpenAreReportedNotFatal) {
    createVault();
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    vaultkit::Registry::write(support / "vaults.json",
                              {(parent / ".Gone.hushcoffer").string(), dir.string()});
    auto r = cli({"status"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "My Vault\tlocked\t" + vault.string() + "\n");
    EXPECT_NE(r.err.find(".Gone.hushcoffer"), std::string::npos) << r.err;
    EXPECT_EQ(cli({"forget", (parent / ".Gone.hushcoffer").string()}).status, 0)
        << "a vanished vault can be forgotten";
    EXPECT_EQ(registry(), std::vector<std::string>{dir.string()});
}

// A damaged vault list: status says so and fails; adding a vault keeps the
// damaged list under another name (every byte of it) and starts a new one.
TEST_F(CliTest, ADamagedVaultListIsReportedAndKeptNotOverwritten) {
    createVault();
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    const std::string damaged = "[\"" + dir.string() + "\", \"/home/u/.Ot";
    vaulttest::writeFile(support / "vaults.json", damaged);
    auto r = cli({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read the vault list"), std::string::npos) << r.err;
    EXPECT_EQ(vaulttest::readFile(support / "vaults.json"), damaged) << "status changes nothing";

    r = cli({"add", dir.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto kept = r.err.find("it was kept as ");
    ASSERT_NE(kept, std::string::npos) << r.err;
    std::string aside = r.err.substr(kept + 15);
    aside = aside.substr(0, aside.find(" and a new list"));
    EXPECT_EQ(vaulttest::readFile(aside), damaged);
    EXPECT_EQ(registry(), std::vector<std::string>{dir.string()});
    EXPECT_EQ(cli({"status"}).status, 0);
}

// A vault whose gocryptfs daemon was killed: status says "stale" (and still
// succeeds), unlock tells why and mounts it again with the files intact.
TEST_F(CliTest, AStaleVaultIsReportedAndUnlockRecoversIt) {
    createVault();
    vaulttest::writeFile(vault / "note.txt", "kept");
    pid_t daemon = -1;
    for (const auto& e : vaultkit::MountTable::read())
        if (e.mountPoint == vault.string())
            for (const pid_t p : vaultkit::GocryptfsDiskImage::daemonsServing(e)) daemon = p;
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);
    const std::string staleLine = "My Vault\tstale\t" + vault.string() + "\n";
    ASSERT_TRUE(vaulttest::waitUntil([&] { return cli({"status"}).out == staleLine; }, 5));
    auto r = cli({"status", vault.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, staleLine);

    r = cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("stopped unexpectedly"), std::string::npos) << r.err;
    EXPECT_EQ(vaulttest::readFile(vault / "note.txt"), "kept");
    EXPECT_EQ(cli({"status"}).out, "My Vault\tunlocked\t" + vault.string() + "\n");
    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
}

// A daemon that is stopped, not dead (SIGSTOP, a debugger) never answers a
// look into its mount: status must neither wait for it nor call the vault
// stale. Shared mode keeps no attributes in the kernel, so any look at the
// visible folder would reach the stopped daemon at once.
TEST_F(CliTest, AStoppedDaemonDoesNotHoldUpStatus) {
    createVault();
    ASSERT_EQ(cli({"mount-mode", vault.string(), "shared"}).status, 0);
    ASSERT_EQ(cli({"lock", vault.string()}).status, 0);
    ASSERT_EQ(cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n").status, 0);
    pid_t daemon = -1;
    for (const auto& e : vaultkit::MountTable::read())
        if (e.mountPoint == vault.string())
            for (const pid_t p : vaultkit::GocryptfsDiskImage::daemonsServing(e)) daemon = p;
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{daemon};

    const std::string line = "My Vault\tunlocked\t" + vault.string() + "\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"status"}, {"status", vault.string()}}) {
        const auto r = clitest::runCli(cliPath(), args, std::nullopt, 30);
        EXPECT_EQ(r.status, 0) << args.size() << " " << r.err;
        EXPECT_EQ(r.out, line) << args.size();
    }
    ::kill(daemon, SIGCONT);
    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
}

// mount-mode shows how the next unlock mounts the vault and why, and for a
// mounted vault the mode its daemon runs in (the two differ once the folder
// became a synced one while unlocked), keeps a choice in this computer's
// vault settings, refuses an unknown mode, and forget takes the vault's
// settings and the record of its encrypted tree away.
TEST_F(CliTest, MountModeIsShownChosenAndForgotten) {
    createVault();
    auto r = cli({"mount-mode", vault.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "My Vault\tlocal\tautomatic\nMy Vault\tmounted\tlocal\n");
    EXPECT_NE(r.err.find("no sync client"), std::string::npos) << r.err;

    fs::create_directory(parent / ".stfolder"); // the folder is now a Syncthing folder
    r = cli({"mount-mode", dir.string()});
    EXPECT_EQ(r.out, "My Vault\tshared\tautomatic\nMy Vault\tmounted\tlocal\n")
        << "the next unlock's mode apart from the mount's";
    EXPECT_NE(r.err.find("Syncthing"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Mounted now in local mode"), std::string::npos) << r.err;
    // status names the client, and that the visible folder is not left out
    // until the next unlock writes the line
    r = cli({"status", vault.string()});
    EXPECT_NE(r.err.find("Syncthing keeps " + parent.string() + " in sync and does not leave"), std::string::npos)
        << r.err;
    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
    EXPECT_EQ(cli({"unlock", "--password-stdin", vault.string()}, kPassword + "\n").status, 0);
    r = cli({"status", vault.string()});
    EXPECT_NE(r.err.find("is left out of it (" + (parent / ".stignore").string() + ")"), std::string::npos) << r.err;
    EXPECT_EQ(cli({"mount-mode", vault.string()}).out, "My Vault\tshared\tautomatic\nMy Vault\tmounted\tshared\n");

    r = cli({"mount-mode", vault.string(), "local"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "My Vault\tlocal\tlocal\nMy Vault\tmounted\tshared\n");
    EXPECT_NE(r.err.find("Syncthing"), std::string::npos) << "the choice goes against what was found: " << r.err;
    EXPECT_NE(r.err.find("next time the vault is unlocked"), std::string::npos) << r.err;
    const std::string id = vaultkit::Vault::open(dir)->config().id.text();
    EXPECT_EQ(vaultkit::VaultPreferences(support).text(id, "mountMode"), "local");
    EXPECT_EQ(cli({"mount-mode", vault.string()}).out, "My Vault\tlocal\tlocal\nMy Vault\tmounted\tshared\n");

    r = cli({"mount-mode", vault.string(), "fast"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(vaultkit::VaultPreferences(support).text(id, "mountMode"), "local") << "nothing changed";

    EXPECT_EQ(cli({"lock", vault.string()}).status, 0);
    // the lock recorded the encrypted tree beside the settings; forget takes it too
    auto treeRecords = [&] {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(support / "locked-trees", ec))
            names.push_back(e.path().filename().string());
        return names;
    };
    ASSERT_EQ(treeRecords().size(), 1u);
    EXPECT_EQ(cli({"forget", vault.string()}).status, 0);
    EXPECT_EQ(vaultkit::VaultPreferences(support).value(id, "mountMode"), std::nullopt);
    EXPECT_EQ(treeRecords(), std::vector<std::string>{});
}
