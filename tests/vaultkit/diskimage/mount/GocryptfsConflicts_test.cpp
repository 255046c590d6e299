// Sync clients' conflict copies made visible in a real gocryptfs mount, as an
// ordinary user: the copies are made in the image folder the way the clients
// name them, then one pass of GocryptfsConflicts runs against the daemon's
// control socket.
#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/diskimage/GocryptfsConflicts.h"
#include "vaultkit/diskimage/GocryptfsControlSocket.h"
#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using vaultkit::GocryptfsConflicts;
using vaultkit::GocryptfsConflictWatcher;
using vaultkit::GocryptfsControlSocket;
using vaultkit::GocryptfsDiskImage;
using vaulttest::readFile;
using vaulttest::TempDir;
using vaulttest::writeFile;
namespace fs = std::filesystem;

namespace {

// The name a client gives its conflict copy of the file named `name`: the
// mark goes before the extension when there is one, at the end otherwise.
std::string marked(const std::string& name, const std::string& mark) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + mark;
    return name.substr(0, dot) + mark + name.substr(dot);
}

struct ClientCase {
    const char* client;
    const char* mark;
};

const ClientCase clientCases[] = {
    {"Dropbox", " (Ann's conflicted copy 2024-05-01)"},
    {"Nextcloud", " (conflicted copy 2024-05-01 101010)"},
    {"ownCloud", "_conflict-20240501-101010"},
    {"Syncthing", ".sync-conflict-20240501-101010-ABCDEFG"},
    {"Seafile", " (SFConflict ann@example.org 2024-05-01-10-10-10)"},
    {"GoogleDrive", " (1)"},
};

class GocryptfsConflictsMount : public ::testing::Test {
protected:
    void SetUp() override {
        driver_ = vaulttest::fastGocryptfs();
        fs::create_directory(tmp_ / "vault");
        image_ = vaulttest::makeImage(tmp_ / "vault", password_);
        mp_ = tmp_ / "Vault";
        fs::create_directory(mp_);
        driver_->attach(image_, password_, mp_);
        socket_ = driver_->controlSocket(image_);
    }
    void TearDown() override {
        try {
            driver_->detach(mp_.string(), true);
        } catch (...) {
        }
    }

    // The encrypted path of a plain path, through the daemon.
    std::string cipherOf(const std::string& plain) {
        const auto c = GocryptfsControlSocket(socket_).encryptPath(plain);
        if (!c) throw std::runtime_error("no cipher name for " + plain);
        return *c;
    }
    // A copy, as a client on another computer left it, of the encrypted file
    // of `plain`, holding the encrypted bytes of a file with `content`.
    fs::path makeConflictCopy(const std::string& plain, const std::string& mark, const std::string& content) {
        const fs::path donor = mp_ / ("donor-" + std::to_string(++donors_));
        writeFile(donor, content);
        const fs::path donorCipher = image_ / cipherOf(donor.filename().string());
        const fs::path original = image_ / cipherOf(plain);
        const fs::path copy = original.parent_path() / marked(original.filename().string(), mark);
        fs::rename(donorCipher, copy);
        return copy;
    }
    GocryptfsConflicts::Result resolve() {
        GocryptfsConflicts conflicts(image_, mp_, socket_, [this](const std::string& l) { log_.push_back(l); });
        return conflicts.resolve();
    }

    TempDir tmp_{"hc-conflicts"};
    std::shared_ptr<GocryptfsDiskImage> driver_;
    std::string password_ = "correct horse";
    fs::path image_, mp_, socket_;
    std::vector<std::string> log_;
    int donors_ = 0;
};

TEST_F(GocryptfsConflictsMount, EachClientsCopyAppearsBesideTheOriginalWithItsContent) {
    const std::string longStem(180, 'L');
    for (const auto& c : clientCases) {
        SCOPED_TRACE(c.client);
        const std::string dir = std::string("in ") + c.client;
        fs::create_directory(mp_ / dir);
        // A short name, and a long one (gocryptfs.longname.* with its record).
        for (const auto& name : {std::string("report.txt"), longStem + ".odt"}) {
            const std::string plain = dir + "/" + name;
            writeFile(mp_ / plain, "mine");
            const fs::path copy1 = makeConflictCopy(plain, c.mark, "theirs 1");
            ASSERT_FALSE(fs::exists(mp_ / dir / GocryptfsConflicts::conflictName(name, 1)));

            auto r = resolve();
            const std::string first = dir + "/" + GocryptfsConflicts::conflictName(name, 1);
            EXPECT_EQ(r.madeVisible, std::vector<std::string>{first});
            EXPECT_EQ(r.folders, std::vector<std::string>{dir});
            EXPECT_EQ(readFile(mp_ / first), "theirs 1");
            EXPECT_EQ(readFile(mp_ / plain), "mine");
            EXPECT_FALSE(fs::exists(copy1));

            // A second conflict never replaces the first: it gets N + 1.
            makeConflictCopy(plain, c.mark, "theirs 2");
            r = resolve();
            const std::string second = dir + "/" + GocryptfsConflicts::conflictName(name, 2);
            EXPECT_EQ(r.madeVisible, std::vector<std::string>{second});
            EXPECT_EQ(readFile(mp_ / second), "theirs 2");
            EXPECT_EQ(readFile(mp_ / first), "theirs 1");
        }
    }
    // Every rename is in the log; a pass with nothing new does nothing.
    EXPECT_EQ(log_.size(), 2u * 2u * std::size(clientCases));
    const auto again = resolve();
    EXPECT_TRUE(again.madeVisible.empty());
    EXPECT_TRUE(again.problems.empty());
}

TEST_F(GocryptfsConflictsMount, ConflictNameIsShortenedToFitTheLengthLimit) {
    const std::string name = std::string(251, 'n') + ".txt"; // 255 bytes, the most a name can have
    writeFile(mp_ / name, "mine");
    makeConflictCopy(name, " (1)", "theirs");
    const auto r = resolve();
    ASSERT_EQ(r.madeVisible.size(), 1u);
    const std::string shown = r.madeVisible.front();
    EXPECT_EQ(shown.size(), 255u);
    EXPECT_EQ(shown, std::string(251 - 13, 'n') + " (Conflict 1).txt");
    EXPECT_EQ(readFile(mp_ / shown), "theirs");
}

TEST_F(GocryptfsConflictsMount, CopiesThatCannotBeHandledAreLoggedAndLeftAsTheyAre) {
    // A marked name that is no encrypted name of this folder.
    const fs::path stranger = image_ / "AAAAAAAAAAAAAAAAAAAAAA (conflicted copy 2024-05-01)";
    writeFile(stranger, "bytes of unknown origin");
    // A conflict copy in a folder the user cannot write.
    fs::create_directory(mp_ / "locked");
    writeFile(mp_ / "locked/a.txt", "mine");
    const fs::path stuck = makeConflictCopy("locked/a.txt", " (1)", "theirs");
    const fs::path lockedCipher = stuck.parent_path();
    fs::permissions(lockedCipher, fs::perms::owner_read | fs::perms::owner_exec);
    // Names that merely look like marks and decrypt are the user's own.
    writeFile(mp_ / "holiday (1).jpg", "photo");

    const auto r = resolve();
    fs::permissions(lockedCipher, fs::perms::owner_all);
    EXPECT_TRUE(r.madeVisible.empty());
    ASSERT_EQ(r.problems.size(), 2u);
    EXPECT_EQ(readFile(stranger), "bytes of unknown origin");
    EXPECT_TRUE(fs::exists(stuck));
    EXPECT_EQ(readFile(mp_ / "holiday (1).jpg"), "photo");
    EXPECT_EQ(log_.size(), 2u);

    // Once the folder can be written, the copy shows.
    const auto later = resolve();
    EXPECT_EQ(later.madeVisible, std::vector<std::string>{"locked/" + GocryptfsConflicts::conflictName("a.txt", 1)});
    EXPECT_EQ(readFile(mp_ / "locked/a (Conflict 1).txt"), "theirs");
    EXPECT_TRUE(fs::exists(stranger));
}

TEST_F(GocryptfsConflictsMount, ConflictedFolderKeyKeepsEveryFileReadable) {
    // This computer's folder "docs", and the other computer's "docs" made
    // independently (another key), whose files the sync client merged in.
    fs::create_directory(mp_ / "docs");
    writeFile(mp_ / "docs/mine.txt", "mine");
    fs::create_directory(mp_ / "theirs");
    const std::string longName = std::string(200, 't') + ".txt";
    writeFile(mp_ / "theirs/b.txt", "their b");
    writeFile(mp_ / ("theirs/" + longName), "their long");
    fs::create_directory(mp_ / "theirs/sub");
    writeFile(mp_ / "theirs/sub/c.txt", "their c");
    const fs::path docs = image_ / cipherOf("docs");
    const fs::path theirs = image_ / cipherOf("theirs");
    const std::string bCipher = fs::path(cipherOf("theirs/b.txt")).filename();
    for (const auto& e : fs::directory_iterator(theirs)) {
        const std::string n = e.path().filename();
        const std::string to = n == "gocryptfs.diriv" ? marked(n, " (conflicted copy 2024-05-01)") : n;
        fs::rename(e.path(), docs / to);
    }
    // The other computer's b.txt also conflicted with an earlier copy of it.
    writeFile(mp_ / "donor", "their older b");
    fs::rename(image_ / cipherOf("donor"), docs / (bCipher + ".sync-conflict-20240501-101010-ABCDEFG"));
    fs::remove(theirs);
    // An identical copy of this computer's key hides nothing.
    fs::copy_file(docs / "gocryptfs.diriv", docs / "gocryptfs (1).diriv");

    const auto r = resolve();
    const std::string other = "docs/" + GocryptfsConflicts::otherCopyFolderName(1);
    EXPECT_EQ(r.folders.front(), "docs");
    EXPECT_EQ(readFile(mp_ / "docs/mine.txt"), "mine");
    EXPECT_EQ(readFile(mp_ / other / "b.txt"), "their b");
    EXPECT_EQ(readFile(mp_ / other / longName), "their long");
    EXPECT_EQ(readFile(mp_ / other / "sub/c.txt"), "their c");
    EXPECT_EQ(readFile(mp_ / other / "b (Conflict 1).txt"), "their older b");
    EXPECT_TRUE(fs::exists(docs / "gocryptfs (1).diriv"));
    ASSERT_EQ(r.problems.size(), 1u); // the identical copy, left alone
    // Nothing is left hidden in docs: every entry decrypts.
    for (const auto& e : fs::directory_iterator(docs)) {
        const std::string n = e.path().filename();
        if (n.rfind("gocryptfs", 0) == 0) continue;
        EXPECT_TRUE(GocryptfsControlSocket(socket_).decryptPath(cipherOf("docs") + "/" + n)) << n;
    }
}

TEST_F(GocryptfsConflictsMount, FolderWhoseKeyIsOnlyAConflictCopyGetsItBack) {
    fs::create_directory(mp_ / "docs");
    writeFile(mp_ / "docs/a.txt", "a");
    const fs::path docs = image_ / cipherOf("docs");
    fs::rename(docs / "gocryptfs.diriv", docs / "gocryptfs.diriv (conflicted copy 2024-05-01 101010)");
    resolve();
    EXPECT_TRUE(fs::exists(docs / "gocryptfs.diriv"));
    EXPECT_EQ(readFile(mp_ / "docs/a.txt"), "a");
}

TEST_F(GocryptfsConflictsMount, WatcherFindsCopiesAtStartAndInFoldersMadeLater) {
    writeFile(mp_ / "early.txt", "mine");
    makeConflictCopy("early.txt", " (1)", "theirs early");
    // A folder that will arrive whole later (a sync client moves it in),
    // with a conflict copy two levels down.
    fs::create_directories(mp_ / "batch/inner");
    writeFile(mp_ / "batch/inner/y.txt", "mine");
    makeConflictCopy("batch/inner/y.txt", " (conflicted copy 2024-05-01 101010)", "theirs in batch");
    const fs::path batchCipher = image_ / cipherOf("batch");
    fs::rename(batchCipher, tmp_ / "parked");
    std::mutex mutex;
    std::vector<std::string> folders;
    {
        GocryptfsConflictWatcher watcher(image_, mp_, socket_, {}, [&](const GocryptfsConflicts::Result& r) {
            std::lock_guard lock(mutex);
            folders.insert(folders.end(), r.folders.begin(), r.folders.end());
        });
        ASSERT_TRUE(vaulttest::waitUntil([&] { return fs::exists(mp_ / "early (Conflict 1).txt"); }, 60));
        // A folder made after the watch began, then a copy inside it.
        fs::create_directories(mp_ / "new/deeper");
        writeFile(mp_ / "new/deeper/a.txt", "mine");
        makeConflictCopy("new/deeper/a.txt", ".sync-conflict-20240501-101010-ABCDEFG", "theirs late");
        ASSERT_TRUE(vaulttest::waitUntil([&] { return fs::exists(mp_ / "new/deeper/a (Conflict 1).txt"); }, 60));
        EXPECT_EQ(readFile(mp_ / "new/deeper/a (Conflict 1).txt"), "theirs late");
        fs::rename(tmp_ / "parked", batchCipher);
        ASSERT_TRUE(vaulttest::waitUntil([&] { return fs::exists(mp_ / "batch/inner/y (Conflict 1).txt"); }, 60));
        EXPECT_EQ(readFile(mp_ / "batch/inner/y (Conflict 1).txt"), "theirs in batch");
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(folders, (std::vector<std::string>{"", "new/deeper", "batch/inner"}));
}

TEST_F(GocryptfsConflictsMount, EveryMountHasAControlSocketEvenOverAStaleOne) {
    EXPECT_TRUE(GocryptfsControlSocket(socket_).encryptPath("x.txt").has_value());
    driver_->detach(mp_.string(), false);
    // The daemon removes its socket when it ends.
    ASSERT_TRUE(vaulttest::waitUntil([&] { return !fs::exists(socket_); }, 10));
    // A socket file nobody listens on (a daemon that was killed leaves one)
    // would make gocryptfs refuse to start.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(fs::exists(socket_));
    driver_->attach(image_, password_, mp_);
    EXPECT_TRUE(GocryptfsControlSocket(socket_).encryptPath("x.txt").has_value());
    struct stat st {};
    ASSERT_EQ(::stat(socket_.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

} // namespace
