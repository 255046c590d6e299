// Crash consistency: a vault operation runs in a child process (this same
// program, started with "--child"), which is killed with SIGKILL at a random
// moment; then the vault must still open from its record, every copy of the
// record that exists must decode, exactly one of the old and the new password
// must open the image, the recovery phrase must still recover it, and the files
// written before the operation must be intact.
//
// Operations: saving the record, creating a vault, changing the password,
// recovering with the phrase, importing files. Half of the kills hit the
// process alone (its running tools go on, as they would after a crash of the
// application); the other half hit its whole process group (the tools die
// with it).
//
// HC_CRASH_KILLS sets the number of kills per operation (default 8; a few
// hundred in all for a long run, e.g. HC_CRASH_KILLS=60), HC_CRASH_SEED the
// random seed (printed on each run).
#include "support/TestSupport.h"

#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/VaultConfig.h"
#include "vaultkit/vault/Vault.h"

#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vaultkit;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ---- The child: one operation, secrets on standard input ----

std::string readLine() {
    std::string line;
    std::getline(std::cin, line);
    return line;
}

void setUpLibrary(const fs::path& backups) {
    DiskImage::setPlatformDefault(vaulttest::fastGocryptfs());
    Vault::setBackupDirectory(backups);
}

int childMain(int argc, char** argv) {
    // argv: --child OP BACKUPS ARGS...
    if (argc < 4) return 2;
    const std::string op = argv[2];
    setUpLibrary(argv[3]);
    try {
        if (op == "save") {
            auto vault = Vault::open(argv[4]);
            for (int minutes = 1; minutes <= 30; ++minutes) {
                VaultConfig::AutoLock a;
                a.idleMinutes = minutes;
                a.onScreenLock = minutes % 2 == 0;
                vault->setAutoLock(a);
            }
        } else if (op == "create") {
            std::string password = readLine();
            std::string phrase = readLine();
            Vault::create(argv[4], argv[5], password, Mnemonic(phrase));
            OPENSSL_cleanse(password.data(), password.size());
            OPENSSL_cleanse(phrase.data(), phrase.size());
        } else if (op == "change") {
            std::string oldPassword = readLine();
            std::string newPassword = readLine();
            Vault::open(argv[4])->changePassword(oldPassword, newPassword);
        } else if (op == "recover") {
            std::string phrase = readLine();
            std::string newPassword = readLine();
            Vault::open(argv[4])->recover(phrase, newPassword);
        } else if (op == "unlock") {
            std::string password = readLine();
            Vault::open(argv[4])->unlock(password);
            OPENSSL_cleanse(password.data(), password.size());
        } else if (op == "import") {
            std::vector<fs::path> sources(argv + 5, argv + argc);
            for (const auto& r : Importer::copy(sources, *Vault::open(argv[4])))
                if (!r.ok()) return 3;
        } else {
            return 2;
        }
    } catch (const std::exception& e) {
        std::cerr << "child " << op << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}

// ---- The parent ----

struct Child {
    pid_t pid = -1;
};

// Starts this program as a child in its own process group, writes `input` to
// its standard input and closes it.
Child startChild(const std::vector<std::string>& args, const std::string& input) {
    int in[2];
    if (::pipe(in) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all{"/proc/self/exe", "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(in[0], 0);
        ::close(in[0]);
        ::close(in[1]);
        // Quiet: the errors of a child that was killed halfway say nothing.
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(in[0]);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "short write to the child";
    ::close(in[1]);
    return Child{pid};
}

int waitChild(const Child& c) {
    int status = 0;
    while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Processes whose process group is `group` (the child's tools, which outlive
// it when only the child is killed), except the system logger that a mount
// daemon started by the child writes its messages to: it lives as long as
// the mount.
std::vector<pid_t> groupMembers(pid_t group) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        std::string stat;
        try {
            stat = vaulttest::readFile(fs::path("/proc") / e->d_name / "stat");
        } catch (...) {
            continue;
        }
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 &&
            pgrp == group && state != 'Z' && stat.find("(logger)") == std::string::npos)
            out.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(d);
    return out;
}

struct Counts {
    int kills = 0;
    int finished = 0;   // the operation ended before the kill
    int groupKills = 0; // tools killed too
};

class CrashConsistency : public ::testing::Test {
protected:
    void SetUp() override {
        const char* k = std::getenv("HC_CRASH_KILLS");
        kills_ = k ? std::max(1, std::atoi(k)) : 8;
        const char* s = std::getenv("HC_CRASH_SEED");
        seed_ = s ? static_cast<unsigned>(std::strtoul(s, nullptr, 10))
                  : static_cast<unsigned>(Clock::now().time_since_epoch().count());
        rng_.seed(seed_);
        std::cout << "[ seed ] HC_CRASH_SEED=" << seed_ << " kills per operation: " << kills_ << '\n';
        backups_ = tmp_ / "support" / "backups";
        setUpLibrary(backups_);
    }
    void TearDown() override {
        vaulttest::unmountAllBelow(tmp_.path());
        std::cout << "[ counts ] kills " << counts_.kills << ", of them whole group " << counts_.groupKills
                  << ", operation already finished " << counts_.finished << '\n';
        DiskImage::setPlatformDefault(nullptr);
        Vault::setBackupDirectory(std::nullopt);
    }

    // Runs the operation to its end once and returns how long it took.
    double timeOf(const std::vector<std::string>& args, const std::string& input) {
        const auto start = Clock::now();
        const int status = waitChild(startChild(args, input));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "clean run of " << args[0] << " failed";
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // Starts the operation, kills it after a random part of `duration` (a
    // little longer, so that some runs finish), and waits until none of its
    // tools is left running.
    void runAndKill(const std::vector<std::string>& args, const std::string& input, double duration) {
        std::uniform_real_distribution<double> when(0, duration * 1.05);
        const bool wholeGroup = counts_.kills % 2 == 1;
        const Child c = startChild(args, input);
        std::this_thread::sleep_for(std::chrono::duration<double>(when(rng_)));
        ::kill(wholeGroup ? -c.pid : c.pid, SIGKILL);
        const int status = waitChild(c);
        ++counts_.kills;
        if (wholeGroup) ++counts_.groupKills;
        if (WIFEXITED(status)) ++counts_.finished;
        // Tools left behind finish (or fail on their closed pipes) by
        // themselves; the mount daemon is in a session of its own.
        if (!vaulttest::waitUntil([&] { return groupMembers(c.pid).empty(); }, 60)) {
            std::string left;
            for (pid_t p : groupMembers(c.pid)) {
                std::string cmd = vaulttest::readFile("/proc/" + std::to_string(p) + "/cmdline");
                std::replace(cmd.begin(), cmd.end(), '\0', ' ');
                left += "\n  " + std::to_string(p) + ": " + cmd;
            }
            FAIL() << "tools of the killed " << args[0] << " still running:" << left;
        }
    }

    // Every copy of the record that exists decodes.
    void expectCopiesDecode(const fs::path& dir) {
        std::vector<fs::path> copies{dir / "vault.json", dir / "vault.json.bak"};
        if (auto b = Vault::backupURL(dir)) copies.push_back(*b);
        for (const auto& f : copies) {
            std::error_code ec;
            if (!fs::exists(f, ec)) continue;
            EXPECT_NO_THROW(ConfigCoding::decode(vaulttest::readFile(f))) << f << " is damaged";
        }
    }

    // The checks after a kill. `candidates`: the passwords the image may
    // have; exactly one must open it. Leaves the vault locked with a fresh
    // password set through recovery, which it returns.
    std::string checkVault(const fs::path& dir, const std::vector<std::string>& candidates,
                           const std::string& phrase, const std::map<std::string, std::string>& files) {
        SCOPED_TRACE("after kill " + std::to_string(counts_.kills) + " (seed " + std::to_string(seed_) + ")");
        expectCopiesDecode(dir);
        std::shared_ptr<Vault> vault;
        try {
            vault = Vault::open(dir);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "vault does not open: " << e.what();
            return {};
        }
        if (vault->isUnlocked()) vault->lock(true);
        int opening = 0;
        for (const auto& p : candidates)
            if (vault->driver()->checkPassword(vault->image(), p)) ++opening;
        EXPECT_EQ(opening, 1) << "of the passwords the vault may have, " << opening << " open it";

        const std::string next = "after kill " + std::to_string(counts_.kills);
        try {
            vault->recover(phrase, next);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "recovery with the phrase fails: " << e.what();
            return {};
        }
        EXPECT_TRUE(vault->isUnlocked());
        for (const auto& [name, content] : files) {
            try {
                EXPECT_EQ(vaulttest::readFile(vault->mountPoint() / name), content) << name;
            } catch (const std::exception& e) {
                ADD_FAILURE() << name << " is gone: " << e.what();
            }
        }
        vault->lock(false);
        return next;
    }

    // A locked vault holding a few files, and its phrase.
    std::shared_ptr<Vault> makeVault(const std::string& name, const std::string& password,
                                     std::map<std::string, std::string>& files, Mnemonic& mnemonic) {
        mnemonic = Mnemonic::generate();
        auto vault = Vault::create(tmp_.path(), name, password, mnemonic);
        files = {{"notes.txt", "written before the operation\n"},
                 {"big.bin", std::string(300'000, 'x') + "end"}};
        for (const auto& [f, content] : files)
            vaulttest::writeFile(vault->mountPoint() / f, content);
        vault->lock(false);
        return vault;
    }

    vaulttest::TempDir tmp_{"hc-crash"};
    fs::path backups_;
    int kills_ = 8;
    unsigned seed_ = 0;
    std::mt19937 rng_;
    Counts counts_;
};

TEST_F(CrashConsistency, SavingTheRecord) {
    std::map<std::string, std::string> files;
    Mnemonic mnemonic = Mnemonic::generate();
    std::string password = "first password";
    auto vault = makeVault("Save", password, files, mnemonic);
    const std::string dir = vault->dir().string();
    const double t = timeOf({"save", backups_.string(), dir}, "");
    for (int i = 0; i < kills_ && !HasFailure(); ++i) {
        runAndKill({"save", backups_.string(), dir}, "", t);
        // Whichever save it reached, the record is one of those written.
        const int minutes = Vault::open(dir)->config().autoLock.idleMinutes;
        EXPECT_TRUE(minutes >= 0 && minutes <= 30) << minutes;
        password = checkVault(dir, {password}, mnemonic.phrase(), files);
    }
}

TEST_F(CrashConsistency, CreatingAVault) {
    const std::string password = "create password";
    int leftovers = 0;
    const double t = [&] {
        const Mnemonic m = Mnemonic::generate();
        return timeOf({"create", backups_.string(), tmp_.path().string(), "Timed"},
                      password + "\n" + m.phrase() + "\n");
    }();
    for (int i = 0; i < kills_ && !HasFailure(); ++i) {
        const std::string name = "New" + std::to_string(i);
        const Mnemonic m = Mnemonic::generate();
        runAndKill({"create", backups_.string(), tmp_.path().string(), name},
                   password + "\n" + m.phrase() + "\n", t);
        const fs::path dir = tmp_ / ("." + name + ".hushcoffer");
        std::error_code ec;
        if (!fs::exists(dir, ec)) continue; // killed before anything was made
        try {
            Vault::open(dir);
        } catch (const VaultError&) {
            // Killed before the record was saved: no copy of a record may
            // exist, nothing of the user's can be in the new image, and
            // creating the vault again clears what was left.
            ++leftovers;
            EXPECT_FALSE(fs::exists(dir / "vault.json", ec));
            EXPECT_FALSE(fs::exists(dir / "vault.json.bak", ec));
            try {
                Vault::create(tmp_.path(), name, password, m)->lock(false);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "creating again after the kill fails: " << e.what();
                continue;
            }
        }
        checkVault(dir, {password}, m.phrase(), {});
    }
    std::cout << "[ counts ] killed before the record existed: " << leftovers << '\n';
}

TEST_F(CrashConsistency, ChangingThePassword) {
    std::map<std::string, std::string> files;
    Mnemonic mnemonic = Mnemonic::generate();
    std::string password = "first password";
    auto vault = makeVault("Change", password, files, mnemonic);
    const std::string dir = vault->dir().string();
    const double t = timeOf({"change", backups_.string(), dir}, password + "\nchanged once\n");
    password = "changed once";
    for (int i = 0; i < kills_ && !HasFailure(); ++i) {
        const std::string next = "changed to " + std::to_string(i);
        runAndKill({"change", backups_.string(), dir}, password + "\n" + next + "\n", t);
        password = checkVault(dir, {password, next}, mnemonic.phrase(), files);
    }
}

TEST_F(CrashConsistency, RecoveringWithThePhrase) {
    std::map<std::string, std::string> files;
    Mnemonic mnemonic = Mnemonic::generate();
    std::string password = "first password";
    auto vault = makeVault("Recover", password, files, mnemonic);
    const std::string dir = vault->dir().string();
    const double t = timeOf({"recover", backups_.string(), dir}, mnemonic.phrase() + "\nrecovered once\n");
    vault->lock(false);
    password = "recovered once";
    for (int i = 0; i < kills_ && !HasFailure(); ++i) {
        const std::string next = "recovered to " + std::to_string(i);
        runAndKill({"recover", backups_.string(), dir}, mnemonic.phrase() + "\n" + next + "\n", t);
        password = checkVault(dir, {password, next}, mnemonic.phrase(), files);
    }
}

TEST_F(CrashConsistency, Importing) {
    std::map<std::string, std::string> files;
    Mnemonic mnemonic = Mnemonic::generate();
    std::string password = "first password";
    auto vault = makeVault("Import", password, files, mnemonic);
    const std::string dir = vault->dir().string();
    // Sources: a folder of many small files and one larger file.
    const fs::path src = tmp_ / "outside";
    fs::create_directories(src / "folder");
    std::map<std::string, std::string> sources;
    for (int i = 0; i < 200; ++i)
        sources["folder/f" + std::to_string(i)] = std::string(static_cast<std::size_t>(i * 37), 'a' + i % 26);
    sources["large.bin"] = std::string(8 << 20, 'L');
    for (const auto& [f, content] : sources)
        vaulttest::writeFile(src / f, content);
    const std::vector<std::string> args{"import", backups_.string(), dir, (src / "folder").string(),
                                        (src / "large.bin").string()};
    vault->unlock(password);
    const double t = timeOf(args, "");
    for (int i = 0; i < kills_ && !HasFailure(); ++i) {
        if (!vault->isUnlocked()) vault->unlock(password);
        runAndKill(args, "", t);
        // The sources are never touched.
        for (const auto& [f, content] : sources)
            ASSERT_EQ(vaulttest::readFile(src / f), content) << "source " << f << " changed";
        // No item under its final name differs from its source: a killed
        // copy stays under its hidden temporary name.
        for (const auto& e : fs::directory_iterator(vault->mountPoint())) {
            const std::string name = e.path().filename().string();
            const bool large = name.starts_with("large");
            if (!large && !name.starts_with("folder")) continue;
            const fs::path origin = src / (large ? "large.bin" : "folder");
            EXPECT_EQ(Importer::inventory(e.path()).entries, Importer::inventory(origin).entries)
                << name << " is not a whole copy (seed " << seed_ << ")";
            if (large) {
                EXPECT_EQ(vaulttest::readFile(e.path()), sources["large.bin"]) << name;
            }
        }
        // The vault stays unlocked through an import; lock it for the checks.
        vault->lock(true);
        password = checkVault(dir, {password}, mnemonic.phrase(), files);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--child") return childMain(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
