// The gocryptfs driver against real gocryptfs mounts, as an ordinary user.
#include "vaultkit/diskimage/GocryptfsDiskImage.h"
#include "vaultkit/diskimage/MountTable.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <set>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using vaultkit::DiskImage;
using vaultkit::GocryptfsDiskImage;
using vaultkit::VaultError;
using vaulttest::readFile;
using vaulttest::TempDir;
using vaulttest::writeFile;
namespace fs = std::filesystem;

namespace {

// Runs `f` and expects the given VaultError case (and, for hdiutil, verb).
template <typename F> VaultError expectVaultError(F&& f, VaultError::Case kind, const char* verb = nullptr) {
    try {
        f();
    } catch (const VaultError& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        if (verb) {
            EXPECT_EQ(e.payload().at(0), verb) << e.what();
        }
        return e;
    }
    ADD_FAILURE() << "no VaultError";
    return VaultError::io("none");
}

// A child process that holds something inside a mounted volume: an open file
// (hold "file") or its working directory (hold "cwd"). Its name, as /proc
// shows it, is `name`. When told to, it tries to read the file (through the
// open descriptor, or by name from its working directory) and reports the
// errno of that read (0 when it read data).
class Holder {
public:
    Holder(const fs::path& file, bool byCwd, const char* name) {
        int ready[2], go[2], result[2];
        if (::pipe(ready) != 0 || ::pipe(go) != 0 || ::pipe(result) != 0) throw std::runtime_error("pipe");
        const std::string filePath = file.string();
        const std::string dirPath = file.parent_path().string();
        const std::string fileName = file.filename().string();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls here: the test process has threads.
            ::prctl(PR_SET_NAME, name, 0, 0, 0);
            int fd = -1;
            if (byCwd) {
                if (::chdir(dirPath.c_str()) != 0) ::_exit(2);
            } else {
                fd = ::open(filePath.c_str(), O_RDWR);
                if (fd < 0) ::_exit(3);
            }
            char c = 'r';
            if (::write(ready[1], &c, 1) != 1) ::_exit(4);
            if (::read(go[0], &c, 1) != 1) ::_exit(5);
            int err = 0;
            char buf[64];
            if (byCwd) fd = ::open(fileName.c_str(), O_RDONLY);
            if (fd < 0) {
                err = errno;
            } else if (::pread(fd, buf, sizeof buf, 0) <= 0) {
                err = errno == 0 ? -1 : errno;
            }
            if (::write(result[1], &err, sizeof err) != sizeof err) ::_exit(6);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(go[0]);
        ::close(result[1]);
        goFd_ = go[1];
        resultFd_ = result[0];
        char c = 0;
        const bool ok = ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
        if (!ok) throw std::runtime_error("holder did not start");
    }
    ~Holder() { stop(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // errno of the child's read attempt (0: it read decrypted data).
    int tryRead() {
        char c = 'g';
        if (::write(goFd_, &c, 1) != 1) return -100;
        int err = -200;
        if (::read(resultFd_, &err, sizeof err) != sizeof err) return -300;
        return err;
    }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            ::close(goFd_);
            ::close(resultFd_);
        }
    }

private:
    pid_t pid_ = -1;
    int goFd_ = -1;
    int resultFd_ = -1;
};

// Whether a process has ended (a zombie waiting for its reaper counts).
bool gone(pid_t pid) {
    return vaulttest::waitUntil(
        [pid] {
            std::string stat;
            try {
                stat = readFile("/proc/" + std::to_string(pid) + "/stat");
            } catch (...) {
                return true;
            }
            const auto close = stat.rfind(')');
            return close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
        },
        5);
}

// Runs `f` on its own thread and reports whether it finished within
// `seconds`; a call that hangs is left behind (and `unblock` is run so that it
// can finish).
template <typename T>
std::optional<T> within(double seconds, std::function<T()> f, const std::function<void()>& unblock) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(f));
    auto future = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (future.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready)
        return future.get();
    unblock();
    future.wait();
    return std::nullopt;
}

class GocryptfsMount : public ::testing::Test {
protected:
    void SetUp() override {
        driver_ = vaulttest::fastGocryptfs();
        fs::create_directory(tmp_ / "vault");
        image_ = vaulttest::makeImage(tmp_ / "vault", password_);
        mp_ = tmp_ / "Vault";
        fs::create_directory(mp_);
    }
    void TearDown() override {
        for (const pid_t p : stopped_)
            ::kill(p, SIGCONT);
    }

    // PID of the daemon serving the mount at `mp`.
    pid_t daemonOf(const fs::path& mp) {
        for (const auto& e : vaultkit::MountTable::read())
            if (e.mountPoint == mp.string()) {
                const auto pids = GocryptfsDiskImage::daemonsServing(e);
                if (pids.size() == 1) return pids[0];
            }
        return -1;
    }

    TempDir tmp_{"hc-gocryptfs"};
    std::shared_ptr<GocryptfsDiskImage> driver_;
    std::string password_ = "correct horse";
    fs::path image_, mp_;
    std::vector<pid_t> stopped_;
};

TEST_F(GocryptfsMount, CreateAttachDetachKeepsDataEncrypted) {
    struct stat st {};
    ASSERT_EQ(::stat(image_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::exists(image_ / "gocryptfs.conf"));
    EXPECT_FALSE(driver_->isMountPoint(mp_));
    EXPECT_FALSE(driver_->attachment(image_).has_value());

    driver_->attach(image_, password_, mp_);
    EXPECT_TRUE(driver_->isMountPoint(mp_));
    EXPECT_FALSE(driver_->isMountPoint(tmp_.path()));
    const auto a = driver_->attachment(image_);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->detachTarget, mp_.string());
    EXPECT_EQ(a->mountPoints, std::vector<std::string>{mp_.string()});
    writeFile(mp_ / "secret.txt", "plain words");
    fs::create_directory(mp_ / "sub");
    // The same image cannot be mounted twice (gocryptfs would not notice).
    fs::create_directory(tmp_ / "second");
    expectVaultError([&] { driver_->attach(image_, password_, tmp_ / "second"); }, VaultError::Case::hdiutil,
                     "attach");
    EXPECT_FALSE(driver_->isMountPoint(tmp_ / "second"));
    // A directory inside the volume is not a mount point.
    EXPECT_FALSE(driver_->isMountPoint(mp_ / "sub"));

    driver_->detach(a->detachTarget, false);
    EXPECT_FALSE(driver_->isMountPoint(mp_));
    EXPECT_FALSE(driver_->attachment(image_).has_value());
    EXPECT_FALSE(fs::exists(mp_ / "secret.txt"));
    // The cipher directory holds no plain text.
    for (const auto& entry : fs::recursive_directory_iterator(image_))
        if (entry.is_regular_file()) {
            EXPECT_EQ(readFile(entry.path()).find("plain words"), std::string::npos) << entry.path();
        }

    driver_->attach(image_, password_, mp_);
    EXPECT_EQ(readFile(mp_ / "secret.txt"), "plain words");
    driver_->detach(mp_.string(), false);
    // Detaching what is not mounted is an error, not a silent success.
    expectVaultError([&] { driver_->detach(mp_.string(), false); }, VaultError::Case::hdiutil, "detach");
}

TEST_F(GocryptfsMount, AreMountPointsAnswersEveryPathAsIsMountPointDoes) {
    driver_->attach(image_, password_, mp_);
    // a second volume, mounted by hand
    const fs::path other = tmp_ / "by hand";
    fs::create_directory(other);
    const fs::path otherImage = vaulttest::makeImage(tmp_ / "other", password_, true);
    const std::string line = password_ + "\n";
    const auto r =
        vaultkit::Exec::runSync("/usr/bin/gocryptfs", {"-q", "--", otherImage.string(), other.string()},
                                vaultkit::Bytes(line.begin(), line.end()), 60);
    ASSERT_EQ(r.status, 0) << r.stderrText;
    fs::create_directory(mp_ / "sub");
    fs::create_symlink(other, tmp_ / "link");
    const std::vector<std::pair<fs::path, bool>> cases = {
        {mp_, true},
        {other, true},
        {tmp_ / "link", true},      // a link to a mount point
        {mp_ / "sub", false},       // a folder inside a volume
        {mp_ / "sub" / "..", true}, // resolved to the mount point
        {tmp_.path(), false},       // the folder holding them
        {tmp_ / "missing", false},  // nothing there
        {image_, false},            // the cipher folder itself
    };
    std::vector<fs::path> paths;
    for (const auto& [p, expected] : cases)
        paths.push_back(p);
    const auto answers = driver_->areMountPoints(paths);
    ASSERT_EQ(answers.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(answers[i], cases[i].second) << cases[i].first;
        EXPECT_EQ(driver_->isMountPoint(cases[i].first), cases[i].second) << cases[i].first;
    }
    EXPECT_TRUE(driver_->areMountPoints({}).empty());
    driver_->detach(other.string(), false);
    driver_->detach(mp_.string(), false);
    EXPECT_EQ(driver_->areMountPoints({mp_, other}), (std::vector<bool>{false, false}));
}

TEST_F(GocryptfsMount, ChangesMadeUnderneathAreSeenAtOnce) {
    // A sync client replaces a file of the image folder with another version
    // (here: the encrypted form of a longer file). With the product's mount
    // options the volume shows the new size and content at once, not after
    // the kernel's attribute cache runs out.
    driver_->attach(image_, password_, mp_, DiskImage::MountMode::shared);
    writeFile(mp_ / "notes.txt", "short");
    std::set<fs::path> before;
    for (const auto& e : fs::directory_iterator(image_))
        before.insert(e.path());
    const std::string longer(5000, 'x');
    writeFile(mp_ / "longer.txt", longer);
    fs::path notesCipher, longerCipher;
    for (const auto& e : fs::directory_iterator(image_)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("gocryptfs.", 0) == 0) continue;
        (before.count(e.path()) ? notesCipher : longerCipher) = e.path();
    }
    ASSERT_FALSE(notesCipher.empty());
    ASSERT_FALSE(longerCipher.empty());
    EXPECT_EQ(fs::file_size(mp_ / "notes.txt"), 5u); // the attributes are now cached
    fs::copy_file(longerCipher, image_ / "incoming.tmp");
    fs::rename(image_ / "incoming.tmp", notesCipher);
    EXPECT_EQ(fs::file_size(mp_ / "notes.txt"), longer.size());
    // (with the attributes cached, a read stops at the old size: "xxxxx")
    const std::string read = readFile(mp_ / "notes.txt");
    EXPECT_EQ(read.size(), longer.size());
    EXPECT_TRUE(read == longer);
    driver_->detach(mp_.string(), false);
}

TEST_F(GocryptfsMount, WrongPasswordMountsNothing) {
    // The locked folder is read-only; attach makes it writable for
    // fusermount3, and every failure gives the read-only mode back.
    const auto modeOf = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
    fs::permissions(mp_, fs::perms(0555));
    expectVaultError([&] { driver_->attach(image_, "wrong horse", mp_); }, VaultError::Case::wrongPassword);
    EXPECT_FALSE(driver_->isMountPoint(mp_));
    EXPECT_FALSE(driver_->attachment(image_).has_value());
    EXPECT_EQ(modeOf(mp_), fs::perms(0555));
    // Not an image at all: a tool failure, nothing left mounted.
    fs::create_directory(tmp_ / "empty");
    const auto e = expectVaultError([&] { driver_->attach(tmp_ / "empty", password_, mp_); },
                                    VaultError::Case::hdiutil, "attach");
    EXPECT_EQ(e.payload().at(1).find("SwitchToSyslog"), std::string::npos);
    EXPECT_FALSE(e.payload().at(1).empty());
    EXPECT_FALSE(driver_->isMountPoint(mp_));
    EXPECT_EQ(modeOf(mp_), fs::perms(0555));
    // A folder that was writable before stays so after a failure, and a
    // successful attach is not undone.
    fs::permissions(mp_, fs::perms(0755));
    expectVaultError([&] { driver_->attach(image_, "wrong horse", mp_); }, VaultError::Case::wrongPassword);
    EXPECT_EQ(modeOf(mp_), fs::perms(0755));
    fs::permissions(mp_, fs::perms(0555));
    driver_->attach(image_, password_, mp_);
    driver_->detach(mp_.string(), false);
    EXPECT_NE(modeOf(mp_) & fs::perms::owner_write, fs::perms::none);
}

TEST_F(GocryptfsMount, AttachesOnTheLockedReadOnlyFolderWithItsLookFiles) {
    writeFile(mp_ / ".directory", "[Desktop Entry]\nIcon=folder-locked\n");
    fs::permissions(mp_, fs::perms(0555));
    driver_->attach(image_, password_, mp_);
    EXPECT_TRUE(driver_->isMountPoint(mp_));
    EXPECT_FALSE(fs::exists(mp_ / ".directory")); // the volume covers the folder
    driver_->detach(mp_.string(), false);
    EXPECT_TRUE(fs::exists(mp_ / ".directory"));
}

TEST_F(GocryptfsMount, BusyDetachNamesTheHolder) {
    driver_->attach(image_, password_, mp_);
    writeFile(mp_ / "secret.txt", "plain words");
    {
        Holder holder(mp_ / "secret.txt", false, "hcholder");
        const auto e =
            expectVaultError([&] { driver_->detach(mp_.string(), false); }, VaultError::Case::busy);
        EXPECT_TRUE(e.payload().empty());
        EXPECT_TRUE(driver_->isMountPoint(mp_));
        const auto names = driver_->busyProcesses(mp_);
        EXPECT_NE(std::find(names.begin(), names.end(), "hcholder"), names.end());
        EXPECT_EQ(std::count(names.begin(), names.end(), "hcholder"), 1);
        EXPECT_EQ(holder.tryRead(), 0); // still mounted and readable
    }
    Holder cwdHolder(mp_ / "secret.txt", true, "hccwd");
    const auto names = driver_->busyProcesses(mp_);
    EXPECT_NE(std::find(names.begin(), names.end(), "hccwd"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "hcholder"), names.end());
    cwdHolder.stop();
    EXPECT_TRUE(driver_->busyProcesses(mp_).empty());
    driver_->detach(mp_.string(), false);
    EXPECT_FALSE(driver_->isMountPoint(mp_));
}

TEST_F(GocryptfsMount, ForcedDetachCutsOffOpenFilesAndWorkingDirectories) {
    driver_->attach(image_, password_, mp_);
    writeFile(mp_ / "secret.txt", "plain words");
    Holder fileHolder(mp_ / "secret.txt", false, "hcfile");
    Holder cwdHolder(mp_ / "secret.txt", true, "hccwd");
    // This process too holds the file open for writing.
    const int fd = ::open((mp_ / "secret.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const pid_t daemon = daemonOf(mp_);
    ASSERT_GT(daemon, 0);

    driver_->detach(mp_.string(), true);
    EXPECT_FALSE(driver_->isMountPoint(mp_));
    EXPECT_FALSE(driver_->attachment(image_).has_value());
    EXPECT_TRUE(gone(daemon)); // the daemon has ended

    // No decrypted data through anything that was inside.
    EXPECT_NE(fileHolder.tryRead(), 0);
    EXPECT_NE(cwdHolder.tryRead(), 0);
    char buf[32];
    EXPECT_LT(::pread(fd, buf, sizeof buf, 0), 0);
    EXPECT_LT(::pwrite(fd, "x", 1, 0), 0);
    ::close(fd);
    fileHolder.stop();
    cwdHolder.stop();

    // The data written before survives.
    driver_->attach(image_, password_, mp_);
    EXPECT_EQ(readFile(mp_ / "secret.txt"), "plain words");
    driver_->detach(mp_.string(), true);
    EXPECT_FALSE(driver_->isMountPoint(mp_));
}

// The forced lock by each way of cutting a mount off, the others switched off:
// with a file held open and a shell inside, no read succeeds afterwards. A
// vault mounted by hand from its folder with relative paths (as README.txt
// tells a person to) is found through the daemon's arguments, whose working
// directory gocryptfs has left for "/". With no way left the lock is refused
// and the volume stays as it was, instead of a lazy unmount that leaves the
// open files reading decrypted data.
struct ForcedWay {
    const char* name;
    bool control;    // the FUSE control file system
    bool connection; // the daemon through fdinfo
    bool arguments;  // the daemon through its arguments
    bool byHand;     // mounted by hand with relative paths, else by attach()
    bool holds;
};

class ForcedDetachWays : public GocryptfsMount, public ::testing::WithParamInterface<ForcedWay> {};

bool fuseControlMounted() {
    struct statfs sfs {};
    return ::statfs("/sys/fs/fuse/connections", &sfs) == 0 && static_cast<long>(sfs.f_type) == 0x65735543;
}

bool kernelNamesConnections(pid_t daemon) {
    const std::string dir = "/proc/" + std::to_string(daemon) + "/fdinfo";
    for (const auto& e : fs::directory_iterator(dir)) {
        try {
            if (readFile(e.path()).find("fuse_connection:") != std::string::npos) return true;
        } catch (...) {
        }
    }
    return false;
}

TEST_P(ForcedDetachWays, NothingInsideReadsAfterTheForcedLock) {
    const ForcedWay& way = GetParam();
    if (way.control && !fuseControlMounted())
        GTEST_SKIP() << "the FUSE control file system is not mounted at /sys/fs/fuse/connections; as root run "
                        "\"mount -t fusectl fusectl /sys/fs/fuse/connections\" (ctest's setup step does)";
    if (way.byHand) {
        // From the folder that holds the vault: "vault/data.gocryptfs Vault".
        const auto r = vaultkit::Exec::runSync(
            "/bin/sh",
            {"-c", "cd \"$0\" && exec /usr/bin/gocryptfs -q vault/data.gocryptfs Vault", tmp_.path().string()},
            vaultkit::Bytes(password_.begin(), password_.end()), 60);
        ASSERT_EQ(r.status, 0) << r.stderrText;
    } else {
        driver_->attach(image_, password_, mp_);
    }
    ASSERT_TRUE(driver_->isMountPoint(mp_));
    writeFile(mp_ / "secret.txt", "plain words");
    const pid_t daemon = daemonOf(mp_);
    ASSERT_GT(daemon, 0);
    if (way.connection && !kernelNamesConnections(daemon))
        GTEST_SKIP() << "this kernel writes no fuse_connection line in /dev/fuse's fdinfo (Linux 6.16 and later do)";

    Holder fileHolder(mp_ / "secret.txt", false, "hcfile");
    Holder shell(mp_ / "secret.txt", true, "hcshell");
    auto options = driver_->options();
    options.fuseControlDir = way.control ? "/sys/fs/fuse/connections" : "";
    options.daemonByConnection = way.connection;
    options.daemonByArguments = way.arguments;
    GocryptfsDiskImage forcing(options);

    if (way.holds) {
        forcing.detach(mp_.string(), true);
        EXPECT_FALSE(driver_->isMountPoint(mp_));
        EXPECT_NE(fileHolder.tryRead(), 0);
        EXPECT_NE(shell.tryRead(), 0);
    } else {
        expectVaultError([&] { forcing.detach(mp_.string(), true); }, VaultError::Case::hdiutil, "detach");
        // Refused, not half done: still mounted and served.
        EXPECT_TRUE(driver_->isMountPoint(mp_));
        EXPECT_EQ(fileHolder.tryRead(), 0);
        EXPECT_EQ(shell.tryRead(), 0);
        driver_->detach(mp_.string(), true);
        EXPECT_FALSE(driver_->isMountPoint(mp_));
    }
    fileHolder.stop();
    shell.stop();
    // A daemon whose connection was aborted has nothing left to serve.
    if (!gone(daemon)) ::kill(daemon, SIGKILL);

    // The image is intact and opens again.
    driver_->attach(image_, password_, mp_);
    EXPECT_EQ(readFile(mp_ / "secret.txt"), "plain words");
    driver_->detach(mp_.string(), false);
}

INSTANTIATE_TEST_SUITE_P(
    EachWayAlone, ForcedDetachWays,
    ::testing::Values(ForcedWay{"ControlFileSystemOnHandMount", true, false, false, true, true},
                      ForcedWay{"ControlFileSystem", true, false, false, false, true},
                      ForcedWay{"DaemonByConnection", false, true, false, false, true},
                      ForcedWay{"DaemonByAbsoluteArguments", false, false, true, false, true},
                      ForcedWay{"DaemonByRelativeArgumentsOfAHandMount", false, false, true, true, true},
                      ForcedWay{"NoWayOnHandMount", false, false, false, true, false},
                      ForcedWay{"NoWay", false, false, false, false, false}),
    [](const ::testing::TestParamInfo<ForcedWay>& p) { return std::string(p.param.name); });

TEST_F(GocryptfsMount, CheckAndChangePassword) {
    EXPECT_TRUE(driver_->checkPassword(image_, password_));
    EXPECT_FALSE(driver_->checkPassword(image_, "wrong horse"));
    EXPECT_FALSE(driver_->checkPassword(image_, password_ + " "));
    expectVaultError([&] { driver_->checkPassword(tmp_ / "nothing", password_); }, VaultError::Case::hdiutil,
                     "verify");

    expectVaultError([&] { driver_->changePassword(image_, "wrong horse", "new horse"); },
                     VaultError::Case::wrongPassword);
    EXPECT_TRUE(driver_->checkPassword(image_, password_));

    // A leftover temporary file of an interrupted change (gocryptfs makes it
    // with O_EXCL, so it blocked every later change) is moved aside beside
    // the image, kept byte for byte, and the change goes on.
    writeFile(image_ / "gocryptfs.conf.tmp", "the key under an unfinished password");
    std::vector<std::string> notices;
    DiskImage::setNoticeSink([&](const std::string& line) { notices.push_back(line); });
    driver_->changePassword(image_, password_, "new horse");
    DiskImage::setNoticeSink({});
    EXPECT_FALSE(fs::exists(image_ / "gocryptfs.conf.tmp"));
    std::vector<fs::path> aside;
    for (const auto& e : fs::directory_iterator(image_.parent_path()))
        if (e.path().filename().string().starts_with("gocryptfs.conf.unfinished-password-change-"))
            aside.push_back(e.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(vaulttest::readFile(aside.front()), "the key under an unfinished password");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices.front().find(aside.front().string()), std::string::npos) << notices.front();
    EXPECT_FALSE(driver_->checkPassword(image_, password_));
    EXPECT_TRUE(driver_->checkPassword(image_, "new horse"));
    expectVaultError([&] { driver_->attach(image_, password_, mp_); }, VaultError::Case::wrongPassword);
    driver_->attach(image_, "new horse", mp_);
    EXPECT_TRUE(driver_->isMountPoint(mp_));
    driver_->detach(mp_.string(), false);
}

TEST_F(GocryptfsMount, NonAsciiPasswordThroughEveryOperation) {
    const std::string pw = "пароль 密码 Ünïcödé 🔐";
    const std::string pw2 = "новый 新密码 ß";
    const fs::path image = tmp_ / "other.gocryptfs";
    driver_->create(image, pw, "x");
    EXPECT_TRUE(driver_->checkPassword(image, pw));
    // Bytes as given: the decomposed form of the same text is another password.
    EXPECT_FALSE(driver_->checkPassword(image, "пароль 密码 U\u0308nïcödé 🔐"));
    driver_->attach(image, pw, mp_);
    writeFile(mp_ / "f", "x");
    driver_->detach(mp_.string(), false);
    driver_->changePassword(image, pw, pw2);
    EXPECT_FALSE(driver_->checkPassword(image, pw));
    expectVaultError([&] { driver_->attach(image, pw, mp_); }, VaultError::Case::wrongPassword);
    driver_->attach(image, pw2, mp_);
    EXPECT_EQ(readFile(mp_ / "f"), "x");
    driver_->detach(mp_.string(), true);
}

TEST_F(GocryptfsMount, ImageMountedByHandOnAnotherFolder) {
    // As README.txt tells a person to do it, from the vault directory.
    const fs::path other = tmp_ / "by hand";
    fs::create_directory(other);
    const auto r = vaultkit::Exec::runSync("/usr/bin/gocryptfs", {"-q", image_.string(), other.string()},
                                           vaultkit::Bytes(password_.begin(), password_.end()), 60);
    ASSERT_EQ(r.status, 0) << r.stderrText;
    ASSERT_TRUE(driver_->isMountPoint(other));
    const auto a = driver_->attachment(image_);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->detachTarget, other.string());
    EXPECT_EQ(a->mountPoints, std::vector<std::string>{other.string()});
    // Refused while mounted elsewhere; released with a forced detach.
    expectVaultError([&] { driver_->attach(image_, password_, mp_); }, VaultError::Case::hdiutil, "attach");
    driver_->detach(a->detachTarget, true);
    EXPECT_FALSE(driver_->isMountPoint(other));
    EXPECT_FALSE(driver_->attachment(image_).has_value());
    driver_->attach(image_, password_, mp_);
    driver_->detach(mp_.string(), false);
}

TEST_F(GocryptfsMount, PathsWithSpacesCommasBackslashesAndNonAscii) {
    const fs::path parent = tmp_ / "My Vaults, \\old\\ & Ünïcödé 中文";
    fs::create_directories(parent / ".Tax, 2024.hushcoffer");
    const fs::path image = parent / ".Tax, 2024.hushcoffer" / "data.gocryptfs";
    const fs::path mp = parent / "Tax, 2024";
    fs::create_directory(mp);
    driver_->create(image, password_, "x");
    driver_->attach(image, password_, mp);
    EXPECT_TRUE(driver_->isMountPoint(mp));
    // A link to the mount point counts, and canonical() follows it.
    fs::create_symlink(mp, tmp_ / "link");
    EXPECT_TRUE(driver_->isMountPoint(tmp_ / "link"));
    EXPECT_EQ(driver_->canonical((tmp_ / "link").string()), mp.string());
    EXPECT_EQ(driver_->canonical(mp.string() + "/"), mp.string());
    const auto a = driver_->attachment(image);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->mountPoints, std::vector<std::string>{mp.string()});
    // The image named through a link is the same image.
    fs::create_symlink(parent, tmp_ / "parent-link");
    EXPECT_TRUE(
        driver_->attachment(tmp_ / "parent-link" / ".Tax, 2024.hushcoffer" / "data.gocryptfs").has_value());
    // Another image is not confused with it.
    EXPECT_FALSE(driver_->attachment(image_).has_value());
    writeFile(mp / "ä.txt", "ü");
    Holder holder(mp / "ä.txt", false, "hcspecial");
    const auto names = driver_->busyProcesses(tmp_ / "link");
    EXPECT_NE(std::find(names.begin(), names.end(), "hcspecial"), names.end());
    holder.stop();
    driver_->detach(a->detachTarget, false);
    EXPECT_FALSE(driver_->isMountPoint(mp));

    // Mounted by hand, through the link: the table shows "," as "_" and no "\".
    const auto r = vaultkit::Exec::runSync(
        "/usr/bin/gocryptfs",
        {"-q", "--", (tmp_ / "parent-link" / ".Tax, 2024.hushcoffer" / "data.gocryptfs").string(),
         mp.string()},
        vaultkit::Bytes(password_.begin(), password_.end()), 60);
    ASSERT_EQ(r.status, 0) << r.stderrText;
    const auto b = driver_->attachment(image);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(b->mountPoints, std::vector<std::string>{mp.string()});
    driver_->detach(b->detachTarget, true);
    EXPECT_FALSE(driver_->isMountPoint(mp));
}

TEST_F(GocryptfsMount, KilledOrStoppedDaemonNeverBlocksTheMountState) {
    fs::create_symlink(mp_, tmp_ / "link");
    for (const int sig : {SIGSTOP, SIGKILL}) {
        SCOPED_TRACE(sig == SIGSTOP ? "stopped daemon" : "killed daemon");
        driver_->attach(image_, password_, mp_);
        const pid_t daemon = daemonOf(mp_);
        ASSERT_GT(daemon, 0);
        ASSERT_EQ(::kill(daemon, sig), 0);
        if (sig == SIGSTOP) stopped_.push_back(daemon);
        const auto unblock = [daemon] { ::kill(daemon, SIGCONT); };
        // Let the kernel's cached attributes of the root expire.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(within<bool>(
                      5, [&] { return driver_->isMountPoint(mp_); }, unblock),
                  std::optional<bool>(true));
        EXPECT_EQ(within<bool>(
                      5, [&] { return driver_->isMountPoint(tmp_ / "link"); }, unblock),
                  std::optional<bool>(true));
        EXPECT_EQ(within<bool>(
                      5,
                      [&] {
                          return driver_->areMountPoints({tmp_ / "link", mp_, tmp_.path()}) ==
                                 std::vector<bool>{true, true, false};
                      },
                      unblock),
                  std::optional<bool>(true));
        // A stopped daemon still serves the mount (it runs again on SIGCONT);
        // a killed one leaves a stale mount, told apart without touching it.
        using State = DiskImage::MountState;
        const State expected = sig == SIGSTOP ? State::mounted : State::stale;
        EXPECT_EQ(within<std::vector<State>>(
                      5, [&] { return driver_->mountStates({tmp_ / "link", mp_, tmp_.path()}); }, unblock),
                  (std::optional<std::vector<State>>({expected, expected, State::notMounted})));
        EXPECT_EQ(within<std::string>(
                      5, [&] { return driver_->canonical((tmp_ / "link").string()); }, unblock),
                  std::optional<std::string>(mp_.string()));
        EXPECT_EQ(within<bool>(
                      5, [&] { return driver_->attachment(image_).has_value(); }, unblock),
                  std::optional<bool>(true));
        EXPECT_TRUE(within<bool>(
                        5, [&] { return driver_->busyProcesses(mp_).empty(); }, unblock)
                        .has_value());
        // A forced detach clears both.
        EXPECT_TRUE(within<bool>(
                        30,
                        [&] {
                            driver_->detach(mp_.string(), true);
                            return true;
                        },
                        unblock)
                        .has_value());
        EXPECT_FALSE(driver_->isMountPoint(mp_));
        EXPECT_TRUE(gone(daemon));
    }
}

// The kernel tells a served mount from a dead one (a statfs answered, or
// ENOTCONN), and a lock that is not refused as busy unmounts: neither looks
// at the processes in /proc. Only a daemon that does not answer (stopped) is
// looked for there, and it still counts as mounted.
TEST_F(GocryptfsMount, MountStatesAndLockReadProcessesOnlyWhenTheKernelCannotTell) {
    using State = DiskImage::MountState;
    const auto stateOf = [&] { return driver_->mountStates({mp_, tmp_.path()}); };
    driver_->attach(image_, password_, mp_);
    std::size_t scans = GocryptfsDiskImage::daemonScanCount();
    EXPECT_EQ(stateOf(), (std::vector<State>{State::mounted, State::notMounted}));
    EXPECT_EQ(GocryptfsDiskImage::daemonScanCount(), scans) << "a served mount";
    driver_->detach(mp_.string(), false);
    EXPECT_FALSE(driver_->isMountPoint(mp_));
    EXPECT_EQ(GocryptfsDiskImage::daemonScanCount(), scans) << "a lock nothing kept busy";

    // A probe still waiting on the stopped daemon below would make the dead
    // one's state unknown: the dead daemon comes first.
    for (const int sig : {SIGKILL, SIGSTOP}) {
        SCOPED_TRACE(sig == SIGSTOP ? "stopped daemon" : "killed daemon");
        driver_->attach(image_, password_, mp_);
        const pid_t daemon = daemonOf(mp_);
        ASSERT_GT(daemon, 0);
        scans = GocryptfsDiskImage::daemonScanCount();
        ASSERT_EQ(::kill(daemon, sig), 0);
        if (sig == SIGKILL) {
            std::vector<State> states;
            for (int i = 0; i < 250 && (states = stateOf()).front() != State::stale; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(states, (std::vector<State>{State::stale, State::notMounted}));
            EXPECT_EQ(GocryptfsDiskImage::daemonScanCount(), scans) << "a dead daemon's mount answers ENOTCONN";
        } else {
            stopped_.push_back(daemon);
            // The signal stops the daemon's threads one by one: until the
            // last has stopped, one of them may still answer.
            const auto allStopped = [&] {
                std::error_code ec;
                const fs::path tasks = "/proc/" + std::to_string(daemon) + "/task";
                for (fs::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
                    const std::string stat = readFile(it->path() / "stat");
                    const auto paren = stat.rfind(')');
                    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'T')
                        return false;
                }
                return !ec;
            };
            for (int i = 0; i < 250 && !allStopped(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_TRUE(allStopped());
            scans = GocryptfsDiskImage::daemonScanCount();
            EXPECT_EQ(stateOf(), (std::vector<State>{State::mounted, State::notMounted}));
            EXPECT_GT(GocryptfsDiskImage::daemonScanCount(), scans) << "a stopped daemon is found in /proc";
            // Asked again while the first question still waits: no second wait.
            EXPECT_EQ(stateOf(), (std::vector<State>{State::mounted, State::notMounted}));
        }
        driver_->detach(mp_.string(), true);
        EXPECT_FALSE(driver_->isMountPoint(mp_));
    }
}

// Each mode mounts with its own options, read back from the daemon's command
// line: shared sees changes underneath, local keeps decrypted pages in the
// kernel; neither gives up preallocation. Nothing stays stale after a
// normal detach.
TEST_F(GocryptfsMount, EachModeMountsWithItsOptions) {
    using Mode = DiskImage::MountMode;
    const auto daemonArgs = [&] {
        const pid_t daemon = daemonOf(mp_);
        std::string cmdline = daemon > 0 ? readFile("/proc/" + std::to_string(daemon) + "/cmdline") : "";
        std::set<std::string> args;
        for (std::size_t pos = 0; pos < cmdline.size();) {
            const auto end = std::min(cmdline.find('\0', pos), cmdline.size());
            args.insert(cmdline.substr(pos, end - pos));
            pos = end + 1;
        }
        return args;
    };
    for (const Mode mode : {Mode::local, Mode::shared}) {
        SCOPED_TRACE(mode == Mode::local ? "local" : "shared");
        driver_->attach(image_, password_, mp_, mode);
        const auto args = daemonArgs();
        EXPECT_EQ(args.count("-kernel_cache"), mode == Mode::local ? 1u : 0u);
        EXPECT_EQ(args.count("-sharedstorage"), mode == Mode::shared ? 1u : 0u);
        EXPECT_EQ(args.count("-noprealloc"), 0u);
        EXPECT_EQ(driver_->mountStates({mp_}), std::vector<DiskImage::MountState>{DiskImage::MountState::mounted});
        writeFile(mp_ / "a.txt", "kept");
        EXPECT_EQ(readFile(mp_ / "a.txt"), "kept");
        driver_->detach(mp_.string(), false);
        EXPECT_EQ(driver_->mountStates({mp_}), std::vector<DiskImage::MountState>{DiskImage::MountState::notMounted});
    }
}

TEST_F(GocryptfsMount, PasswordsGocryptfsCannotTakeAreRefusedBeforeAnythingRuns) {
    const std::string tooLong(2049, 'a');
    const fs::path fresh = tmp_ / "fresh.gocryptfs";
    const auto e =
        expectVaultError([&] { driver_->create(fresh, tooLong, "x"); }, VaultError::Case::hdiutil, "create");
    EXPECT_NE(e.payload().at(1).find("too long"), std::string::npos);
    EXPECT_FALSE(fs::exists(fresh)); // nothing written
    expectVaultError([&] { driver_->attach(image_, tooLong, mp_); }, VaultError::Case::hdiutil, "attach");
    expectVaultError([&] { driver_->checkPassword(image_, tooLong); }, VaultError::Case::hdiutil, "verify");
    expectVaultError([&] { driver_->changePassword(image_, password_, tooLong); }, VaultError::Case::hdiutil,
                     "chpass");
    expectVaultError([&] { driver_->changePassword(image_, password_, "two\nlines"); },
                     VaultError::Case::hdiutil, "chpass");
    EXPECT_TRUE(driver_->checkPassword(image_, password_));
    // 2048 bytes is the most gocryptfs takes, and it works.
    const std::string longest(2048, 'b');
    driver_->changePassword(image_, password_, longest);
    EXPECT_TRUE(driver_->checkPassword(image_, longest));
}

} // namespace
