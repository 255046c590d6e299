// Passwords stay secret: while hushcoffer-cli creates, unlocks, re-keys and
// recovers a vault, a watcher reads the command line and environment of every
// process it may read, over and over; none may hold the password. Afterwards
// no file under the vault directory, the visible folder's parent or the
// support folder holds it in clear, and the vault directory and the support
// files are the owner's alone.
#include "support/TestSupport.h"

#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string cliPath() {
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "hushcoffer-cli";
    if (!ec && fs::exists(beside)) return beside.string();
    return HC_CLI_BUILD_PATH;
}

// The bytes of a file, as far as they can be read: a process may end while
// its /proc files are read (the read then fails with ESRCH), which is not an
// error here.
std::string slurp(const fs::path& file) {
    std::string bytes;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    ::close(fd);
    return bytes;
}

// Reads /proc/*/cmdline and /proc/*/environ in a loop until stopped, and
// notes every process (by name) where one of the secrets shows up.
class ProcWatcher {
public:
    explicit ProcWatcher(std::vector<std::string> secrets)
        : secrets_(std::move(secrets))
        , thread_([this] { loop(); }) {}
    ~ProcWatcher() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::set<std::string> leaks() const {
        std::lock_guard l(m_);
        return leaks_;
    }
    // Names of our own processes seen while watching (shows that the watcher
    // caught the tools at work).
    std::set<std::string> seen() const {
        std::lock_guard l(m_);
        return seen_;
    }
    long rounds() const { return rounds_; }

private:
    void loop() {
        const std::string self = std::to_string(::getpid());
        while (!stop_) {
            DIR* d = ::opendir("/proc");
            if (!d) return;
            while (dirent* e = ::readdir(d)) {
                if (e->d_name[0] < '0' || e->d_name[0] > '9' || self == e->d_name) continue;
                const fs::path p = fs::path("/proc") / e->d_name;
                const std::string cmdline = slurp(p / "cmdline");
                const std::string environ = slurp(p / "environ");
                std::string comm = slurp(p / "comm");
                if (!comm.empty() && comm.back() == '\n') comm.pop_back();
                std::lock_guard l(m_);
                if (!environ.empty()) seen_.insert(comm); // readable: one of ours
                for (const auto& s : secrets_)
                    if (cmdline.find(s) != std::string::npos || environ.find(s) != std::string::npos)
                        leaks_.insert(comm + " (" + e->d_name + ")");
            }
            ::closedir(d);
            ++rounds_;
        }
    }

    std::vector<std::string> secrets_;
    std::atomic<bool> stop_{false};
    std::atomic<long> rounds_{0};
    mutable std::mutex m_;
    std::set<std::string> leaks_;
    std::set<std::string> seen_;
    std::thread thread_;
};

class Secrets : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HC_SUPPORT_DIR", (tmp_ / "support").c_str(), 1);
        fs::create_directory(tmp_ / "home");
        vault_ = (tmp_ / "home" / "Private").string();
    }
    void TearDown() override { ::unsetenv("HC_SUPPORT_DIR"); }

    vaultkit::ExecResult cli(const std::vector<std::string>& args, const std::string& input) {
        return vaultkit::Exec::runSync(cliPath(), args, vaultkit::Bytes(input.begin(), input.end()), 180);
    }

    vaulttest::TempDir tmp_{"hc-secrets"};
    std::string vault_;
};

TEST_F(Secrets, PasswordsNeverInProcessesOrFilesAndFilesAreOwnerOnly) {
    const std::string first = "first-Secret-7e3a";
    const std::string second = "second-Secret-91cd";
    const std::string third = "third-Secret-55b0";
    ProcWatcher watcher({first, second, third});

    auto r = cli({"create", "--password-stdin", (tmp_ / "home").string(), "Private"}, first + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    const std::string phrase = r.stdoutText().substr(0, r.stdoutText().find('\n'));
    ASSERT_EQ(cli({"lock", vault_}, "").status, 0);
    r = cli({"unlock", "--password-stdin", vault_}, first + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    vaulttest::writeFile(fs::path(vault_) / "inside.txt", "decrypted content");
    ASSERT_EQ(cli({"lock", vault_}, "").status, 0);
    r = cli({"passwd", "--password-stdin", vault_}, first + "\n" + second + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    r = cli({"recover", "--password-stdin", vault_}, phrase + "\n" + third + "\n");
    ASSERT_EQ(r.status, 0) << r.stderrText;
    ASSERT_EQ(cli({"lock", vault_}, "").status, 0);
    watcher.stop();

    EXPECT_TRUE(watcher.leaks().empty()) << "password seen in: " << *watcher.leaks().begin();
    EXPECT_TRUE(watcher.seen().count("gocryptfs"))
        << "the watcher never caught gocryptfs at work (" << watcher.rounds() << " rounds)";

    // No file holds a password (or the phrase) in clear; the vault's files
    // and the support files are the owner's alone.
    const fs::path dir = tmp_ / "home" / ".Private.hushcoffer";
    for (const fs::path& root : {tmp_ / "home", tmp_ / "support"}) {
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
             ++it) {
            if (!it->is_regular_file()) continue;
            const std::string content = slurp(it->path());
            for (const auto& s : {first, second, third, phrase})
                EXPECT_EQ(content.find(s), std::string::npos) << it->path() << " holds a secret in clear";
        }
    }
    auto mode = [](const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(dir), 0700u);
    for (const auto& f :
         {dir / "vault.json", dir / "vault.json.bak", dir / "data.gocryptfs" / "gocryptfs.conf"})
        EXPECT_EQ(mode(f) & 077, 0u) << f << " is readable by others";
    EXPECT_EQ(mode(tmp_ / "support" / "vaults.json") & 077, 0u);
    EXPECT_EQ(mode(tmp_ / "support") & 077, 0u) << "support folder open to others";
    for (const auto& e : fs::recursive_directory_iterator(tmp_ / "support"))
        EXPECT_EQ(mode(e.path()) & 077, 0u) << e.path() << " is open to others";
}

} // namespace
