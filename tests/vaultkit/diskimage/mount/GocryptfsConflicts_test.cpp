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

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <fcntl.h>
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
    {"DropboxGerman", " (Anns in Konflikt stehende Kopie 2026-12-10)"},
    {"OneDriveLinux", "-ann-laptop"},
    {"OneDriveLinuxBackup", "-ann-laptop-safeBackup-0001"},
    // A client nobody knows: an encrypted name with something added.
    {"Unknown", "~copy from elsewhere"},
};

// Sets a file's modification time an hour back: a copy a client made from
// a file that was written long ago (it keeps that time).
void age(const fs::path& file, int seconds = 3600) {
    timespec times[2] = {{::time(nullptr) - seconds, 0}, {::time(nullptr) - seconds, 0}};
    if (::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot set the time of " + file.string());
}

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
        age(copy);
        return copy;
    }
    GocryptfsConflicts::Result resolve(GocryptfsConflicts::Options options = {}) {
        GocryptfsConflicts conflicts(
            image_, mp_, socket_, [this](const std::string& l) { log_.push_back(l); }, std::move(options));
        return conflicts.resolve();
    }
    // Every entry below the image folder whose name does not decrypt (the
    // folder keys, long-name records and the config aside).
    std::vector<std::string> hiddenNames() {
        std::vector<std::string> out;
        const GocryptfsControlSocket socket(socket_);
        for (auto it = fs::recursive_directory_iterator(image_); it != fs::recursive_directory_iterator();
             ++it) {
            const std::string n = it->path().filename();
            if (n == "gocryptfs.diriv" || n == "gocryptfs.conf" ||
                (n.rfind("gocryptfs.longname.", 0) == 0 && n.size() > 5 && n.substr(n.size() - 5) == ".name"))
                continue;
            const auto rel = fs::relative(it->path(), image_).string();
            const auto plain = socket.decryptPath(rel);
            if (!plain || plain->find(".hushcoffer-conflict-") != std::string::npos) out.push_back(rel);
        }
        return out;
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
    EXPECT_EQ(later.madeVisible,
              std::vector<std::string>{"locked/" + GocryptfsConflicts::conflictName("a.txt", 1)});
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
    age(docs / (bCipher + ".sync-conflict-20240501-101010-ABCDEFG"));
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
        ASSERT_TRUE(
            vaulttest::waitUntil([&] { return fs::exists(mp_ / "new/deeper/a (Conflict 1).txt"); }, 60));
        EXPECT_EQ(readFile(mp_ / "new/deeper/a (Conflict 1).txt"), "theirs late");
        fs::rename(tmp_ / "parked", batchCipher);
        ASSERT_TRUE(
            vaulttest::waitUntil([&] { return fs::exists(mp_ / "batch/inner/y (Conflict 1).txt"); }, 60));
        EXPECT_EQ(readFile(mp_ / "batch/inner/y (Conflict 1).txt"), "theirs in batch");
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(folders, (std::vector<std::string>{"", "new/deeper", "batch/inner"}));
}

// Each mount opens a socket of its own, so a mount right after an unmount
// never waits for the ending daemon; the leftovers of mounts that are gone
// (a killed daemon leaves its socket, a killed watcher its claim file) are
// removed, another image's are not touched.
TEST_F(GocryptfsConflictsMount, EachMountHasAFreshControlSocketAndLeftoversAreRemoved) {
    const fs::path first = socket_;
    EXPECT_TRUE(GocryptfsControlSocket(first).encryptPath("x.txt").has_value());
    const std::string name = first.filename().string();
    const auto dash = name.find('-');
    ASSERT_NE(dash, std::string::npos) << name;
    const std::string stem = name.substr(0, dash);
    EXPECT_EQ(stem + ".sock", GocryptfsDiskImage::controlSocketFor(fs::canonical(image_).string()).filename());
    driver_->detach(mp_.string(), false);

    const auto boundSocket = [](const fs::path& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd); // nobody listens there any more
        return ok;
    };
    const fs::path folder = first.parent_path();
    const fs::path stale = folder / (stem + "-00000000.sock");
    const fs::path staleClaim = folder / (stem + "-00000000.sock.watch");
    const fs::path oldName = folder / (stem + ".sock"); // made by earlier versions
    const fs::path otherImage = folder / "0000000000000000-00000000.sock";
    ASSERT_TRUE(boundSocket(stale));
    ASSERT_TRUE(boundSocket(oldName));
    ASSERT_TRUE(boundSocket(otherImage));
    writeFile(staleClaim, "1\n");

    driver_->attach(image_, password_, mp_);
    socket_ = driver_->controlSocket(image_);
    EXPECT_NE(socket_, first);
    EXPECT_EQ(socket_.parent_path(), folder);
    EXPECT_TRUE(GocryptfsControlSocket(socket_).encryptPath("x.txt").has_value());
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_FALSE(fs::exists(staleClaim));
    EXPECT_FALSE(fs::exists(oldName));
    EXPECT_TRUE(fs::exists(otherImage));
    fs::remove(otherImage);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// After the first pass, a pass reads only the folders whose times changed:
// a copy arriving in one folder is found by reading that folder alone, and
// an unchanged vault reads none.
TEST_F(GocryptfsConflictsMount, IncrementalPassReadsOnlyTheFoldersThatChanged) {
    fs::create_directories(mp_ / "a/b");
    fs::create_directories(mp_ / "c/d");
    writeFile(mp_ / "a/b/y.txt", "mine");
    writeFile(mp_ / "c/z.txt", "z");
    std::vector<std::string> reads;
    GocryptfsConflicts::Options options;
    options.racyMs = 0; // the clock's tick is not what this test is about
    options.readHook = [&](const std::string& folder) { reads.push_back(folder); };
    GocryptfsConflicts conflicts(image_, mp_, socket_, {}, options);
    const auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };

    auto r = conflicts.resolveChanged(); // the first pass reads everything
    EXPECT_EQ(sorted(reads), sorted({"", cipherOf("a"), cipherOf("a/b"), cipherOf("c"), cipherOf("c/d")}));
    EXPECT_EQ(r.read, reads);
    EXPECT_EQ(conflicts.knownFolderCount(), 5u);
    reads.clear();
    r = conflicts.resolveChanged();
    EXPECT_TRUE(reads.empty()) << reads.front();
    EXPECT_TRUE(r.madeVisible.empty());

    // A client's copy arrives in a/b (renamed into place there).
    writeFile(mp_ / "a/b/donor", "theirs");
    const fs::path copy = image_ / (cipherOf("a/b/y.txt") + ".sync-conflict-20240501-101010-ABCDEFG");
    fs::rename(image_ / cipherOf("a/b/donor"), copy);
    age(copy);
    reads.clear();
    r = conflicts.resolveChanged();
    EXPECT_EQ(reads, std::vector<std::string>{cipherOf("a/b")});
    EXPECT_EQ(r.madeVisible, std::vector<std::string>{"a/b/y (Conflict 1).txt"});
    EXPECT_EQ(readFile(mp_ / "a/b/y (Conflict 1).txt"), "theirs");
    // The pass's own rename shows once more, then nothing.
    reads.clear();
    conflicts.resolveChanged();
    EXPECT_LE(reads.size(), 1u);
    reads.clear();
    r = conflicts.resolveChanged();
    EXPECT_TRUE(reads.empty());
    EXPECT_TRUE(r.madeVisible.empty());

    // A folder that goes is forgotten; one that comes is read with its content.
    fs::remove_all(mp_ / "c/d");
    fs::create_directories(mp_ / "a/new");
    writeFile(mp_ / "a/new/n.txt", "mine");
    writeFile(mp_ / "a/new/donor", "theirs too");
    const fs::path copy2 = image_ / (cipherOf("a/new/n.txt") + " (1)");
    fs::rename(image_ / cipherOf("a/new/donor"), copy2);
    age(copy2);
    reads.clear();
    r = conflicts.resolveChanged();
    EXPECT_EQ(sorted(reads), sorted({cipherOf("a"), cipherOf("a/new"), cipherOf("c")}));
    EXPECT_EQ(r.madeVisible, std::vector<std::string>{"a/new/n (Conflict 1).txt"});
    EXPECT_EQ(conflicts.knownFolderCount(), 5u);
}

// A folder that changed within the clock's tick of a pass that read it is
// read again by the next pass (a change made then would leave its times as
// they were).
TEST_F(GocryptfsConflictsMount, FolderChangedJustBeforeItWasReadIsReadAgain) {
    fs::create_directories(mp_ / "a");
    std::vector<std::string> reads;
    GocryptfsConflicts::Options options;
    options.racyMs = std::numeric_limits<int>::max(); // every change counts as just now
    options.readHook = [&](const std::string& folder) { reads.push_back(folder); };
    GocryptfsConflicts conflicts(image_, mp_, socket_, {}, options);
    conflicts.resolveChanged();
    ASSERT_EQ(reads.size(), 2u);
    reads.clear();
    conflicts.resolveChanged();
    EXPECT_EQ(reads.size(), 2u);
}

// What the passes know is kept across a lock (encrypted names and times
// only): the first pass after the next unlock reads the folders that changed
// meanwhile (a copy a client left) and those holding a copy it had to leave
// hidden, nothing else. A text that is not such a state is refused.
TEST_F(GocryptfsConflictsMount, StateKeptAcrossALockLetsTheFirstPassReadOnlyWhatChanged) {
    fs::create_directories(mp_ / "Secret Plans/b");
    fs::create_directories(mp_ / "Secret Plans/c");
    fs::create_directories(mp_ / "Other Secrets");
    writeFile(mp_ / "Secret Plans/b/y.txt", "mine");
    writeFile(mp_ / "Secret Plans/b/donor", "theirs");
    const std::string b = cipherOf("Secret Plans/b"), c = cipherOf("Secret Plans/c");
    const std::string y = cipherOf("Secret Plans/b/y.txt"), donor = cipherOf("Secret Plans/b/donor");
    // A marked name that does not decrypt: left hidden, listed.
    writeFile(image_ / c / "AAAAAAAAAAAAAAAAAAAAAA (1)", "x");
    GocryptfsConflicts::Options options;
    options.racyMs = 0;
    std::string state;
    {
        GocryptfsConflicts first(image_, mp_, socket_, {}, options);
        EXPECT_EQ(first.resolveChanged().hidden.size(), 1u);
        state = first.savedState();
    }
    EXPECT_EQ(state.find("Secret"), std::string::npos) << state;
    EXPECT_NE(state.find(b), std::string::npos) << state;

    // While the vault is locked, the client leaves a copy in b.
    driver_->detach(mp_.string(), false);
    const fs::path copy = image_ / (y + ".sync-conflict-20240501-101010-ABCDEFG");
    fs::rename(image_ / donor, copy);
    age(copy);
    driver_->attach(image_, password_, mp_);
    socket_ = driver_->controlSocket(image_);

    std::vector<std::string> reads;
    const auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    options.readHook = [&](const std::string& folder) { reads.push_back(folder); };
    GocryptfsConflicts next(image_, mp_, socket_, {}, options);
    ASSERT_TRUE(next.restoreState(state));
    const auto r = next.resolveChanged();
    std::sort(reads.begin(), reads.end());
    EXPECT_EQ(reads, sorted({b, c}));
    EXPECT_EQ(r.madeVisible, std::vector<std::string>{"Secret Plans/b/y (Conflict 1).txt"});
    EXPECT_EQ(readFile(mp_ / "Secret Plans/b/y (Conflict 1).txt"), "theirs");
    EXPECT_EQ(r.hidden.size(), 1u);

    const std::string header = state.substr(0, state.find('\n') + 1);
    for (const std::string& bad : {std::string(), std::string("garbage\n"), header + "1 2 3 0 ../etc\n",
                                  header + "1 2 3 0 " + b + "\n", header + "1 2 3 7 .\n",
                                  header + "1 2 3 0 . extra\n", state.substr(0, state.size() - 1)}) {
        SCOPED_TRACE(bad);
        GocryptfsConflicts fresh(image_, mp_, socket_, {}, options);
        EXPECT_FALSE(fresh.restoreState(bad));
        EXPECT_EQ(fresh.knownFolderCount(), 0u);
    }
}

// In a vault with more folders than the watcher watches, a copy in a folder
// it does not watch is found by its timed pass over the folders' times, and
// the watches stay within their budget.
TEST_F(GocryptfsConflictsMount, WatcherOfALargeVaultStaysWithinItsWatchesAndFindsCopiesAnywhere) {
    const std::size_t folders = GocryptfsConflictWatcher::maxWatches + 40;
    for (std::size_t i = 0; i < folders; ++i)
        fs::create_directories(mp_ / "d" / ("f" + std::to_string(i)) / "deep");
    writeFile(mp_ / "early.txt", "mine");
    makeConflictCopy("early.txt", " (1)", "theirs early");
    const auto inotifyWatches = [] {
        std::size_t n = 0;
        for (const auto& e : fs::directory_iterator("/proc/self/fdinfo")) {
            std::ifstream in(e.path());
            for (std::string line; std::getline(in, line);)
                n += line.rfind("inotify wd:", 0) == 0;
        }
        return n;
    };
    {
        GocryptfsConflictWatcher watcher(image_, mp_, socket_, {}, {});
        ASSERT_TRUE(vaulttest::waitUntil([&] { return fs::exists(mp_ / "early (Conflict 1).txt"); }, 60));
        // Below the top levels (which hold more folders than half the budget).
        const std::string target = "d/f" + std::to_string(folders / 2) + "/deep/a.txt";
        writeFile(mp_ / target, "mine");
        writeFile(mp_ / "donor-late", "theirs late");
        const fs::path copy = image_ / (cipherOf(target) + ".sync-conflict-20240501-101010-ABCDEFG");
        fs::rename(image_ / cipherOf("donor-late"), copy);
        age(copy);
        const fs::path shown = mp_ / ("d/f" + std::to_string(folders / 2) + "/deep/a (Conflict 1).txt");
        ASSERT_TRUE(vaulttest::waitUntil([&] { return fs::exists(shown); }, 60));
        EXPECT_EQ(readFile(shown), "theirs late");
        EXPECT_LE(inotifyWatches(), GocryptfsConflictWatcher::maxWatches);
        EXPECT_GT(inotifyWatches(), 0u);
        // It keeps what its passes know for the next unlock.
        EXPECT_TRUE(vaulttest::waitUntil(
            [&] { return fs::exists(GocryptfsConflictWatcher::stateFileFor(image_)); }, 60));
    }
}

// A copy is renamed only once it is complete: nobody writes it, it has
// stood still, and it reads to its end. Each of the three alone holds it back.
TEST_F(GocryptfsConflictsMount, CopyStillBeingWrittenStaysHiddenUntilComplete) {
    writeFile(mp_ / "a.txt", "mine");
    const std::string theirs(10000, 't');
    const fs::path copy = makeConflictCopy("a.txt", " (1)", theirs);
    const std::string whole = readFile(copy);
    const std::string shown = GocryptfsConflicts::conflictName("a.txt", 1);
    GocryptfsConflicts conflicts(image_, mp_, socket_, [this](const std::string& l) { log_.push_back(l); });

    // A writer holds it open (between two writes of a client).
    const int fd = ::open(copy.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto r = conflicts.resolve();
    EXPECT_TRUE(r.madeVisible.empty());
    EXPECT_EQ(r.waiting, std::vector<std::string>{""});
    EXPECT_GT(r.waitMs, 0);
    ::close(fd);

    // Written a moment ago: the writer may come back.
    age(copy, 0);
    r = conflicts.resolve();
    EXPECT_TRUE(r.madeVisible.empty());
    EXPECT_EQ(r.waiting, std::vector<std::string>{""});
    EXPECT_LE(r.waitMs, GocryptfsConflicts::Options{}.stillMs + 1);

    // Quiet, but only the first half arrived: it stays under its name.
    vaulttest::writeFile(copy, whole.substr(0, 18 + 4128 + 100));
    age(copy);
    r = conflicts.resolve();
    EXPECT_TRUE(r.madeVisible.empty());
    EXPECT_TRUE(r.waiting.empty());
    ASSERT_EQ(r.hidden.size(), 1u);
    EXPECT_NE(r.hidden.front().find("does not read to its end"), std::string::npos) << r.hidden.front();
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(mp_ / shown));
    EXPECT_TRUE(hiddenNames().size() == 1u);
    // Unchanged, it is not tried again, but still listed.
    r = conflicts.resolve();
    EXPECT_EQ(r.hidden.size(), 1u);
    EXPECT_TRUE(r.problems.empty());

    // The rest arrives: the whole copy shows, once.
    vaulttest::writeFile(copy, whole);
    age(copy);
    r = conflicts.resolve();
    EXPECT_EQ(r.madeVisible, std::vector<std::string>{shown});
    EXPECT_EQ(readFile(mp_ / shown), theirs);
    EXPECT_TRUE(hiddenNames().empty());
}

// A pass stopped between any two of its steps (killed, or a failure) leaves
// nothing that the next pass does not finish, also files under the other
// computer's folder key that arrive after its key was handled.
TEST_F(GocryptfsConflictsMount, PassStoppedBetweenStepsIsFinishedByTheNext) {
    struct Stop {
        const char* step;
        int at; // the how-manyth time the step comes
    };
    const Stop stops[] = {{"temporary", 1}, {"folder", 1}, {"key", 1}, {"moved", 1}};
    const std::string longName = std::string(200, 'l') + ".txt";
    int round = 0;
    for (const auto& stop : stops) {
        SCOPED_TRACE(std::string(stop.step) + " " + std::to_string(stop.at));
        const std::string dir = "round" + std::to_string(++round);
        fs::create_directories(mp_ / dir / "docs");
        writeFile(mp_ / dir / "docs/mine.txt", "mine");
        writeFile(mp_ / dir / "plan.txt", "mine");
        makeConflictCopy(dir + "/plan.txt", " (1)", "their plan");
        // The other computer's "docs", its key a conflict copy here.
        fs::create_directories(mp_ / dir / "theirs");
        writeFile(mp_ / dir / "theirs/b.txt", "their b");
        writeFile(mp_ / dir / "theirs" / longName, "their long");
        const fs::path docs = image_ / cipherOf(dir + "/docs");
        const fs::path theirs = image_ / cipherOf(dir + "/theirs");
        const auto moveIn = [&] {
            for (const auto& e : fs::directory_iterator(theirs)) {
                const std::string n = e.path().filename();
                if (n == "gocryptfs.diriv") continue;
                fs::rename(e.path(), docs / n);
            }
        };
        fs::copy_file(theirs / "gocryptfs.diriv", docs / "gocryptfs.diriv (1)");
        moveIn();

        int seen = 0;
        GocryptfsConflicts::Options stopping;
        stopping.stepHook = [&](std::string_view step) {
            if (step == stop.step && ++seen == stop.at) throw std::runtime_error("stopped");
        };
        EXPECT_THROW(resolve(stopping), std::runtime_error);
        const auto r = resolve();
        EXPECT_TRUE(r.hidden.empty()) << r.hidden.front();
        const std::string other = dir + "/docs/" + GocryptfsConflicts::otherCopyFolderName(1);
        EXPECT_EQ(readFile(mp_ / dir / "plan (Conflict 1).txt"), "their plan");
        EXPECT_EQ(readFile(mp_ / other / "b.txt"), "their b");
        EXPECT_EQ(readFile(mp_ / other / longName), "their long");
        EXPECT_FALSE(fs::exists(mp_ / dir / "docs" / GocryptfsConflicts::otherCopyFolderName(2)));

        // A file the client brings later under the other key joins them.
        writeFile(mp_ / dir / "theirs/late.txt", "their late");
        moveIn();
        resolve();
        EXPECT_EQ(readFile(mp_ / other / "late.txt"), "their late");
        EXPECT_TRUE(hiddenNames().empty());
    }
}

// About one name in 256 of another key passes gocryptfs's padding check
// under this folder's key; it must not show here as a garbage name.
TEST_F(GocryptfsConflictsMount, NameOfTheOtherKeyThatDecryptsHereByChanceGoesToTheOtherCopy) {
    fs::create_directory(mp_ / "docs");
    writeFile(mp_ / "docs/mine.txt", "mine");
    fs::create_directory(mp_ / "theirs");
    const std::string docsCipher = cipherOf("docs");
    const GocryptfsControlSocket socket(socket_);
    std::string chance;
    for (int i = 0; i < 20000 && chance.empty(); ++i) {
        const std::string name = "file " + std::to_string(i) + ".txt";
        const auto c = socket.encryptPath("theirs/" + name);
        ASSERT_TRUE(c);
        if (socket.decryptPath(docsCipher + "/" + fs::path(*c).filename().string())) chance = name;
    }
    ASSERT_FALSE(chance.empty());
    writeFile(mp_ / "theirs" / chance, "theirs");
    const fs::path docs = image_ / docsCipher;
    const fs::path theirs = image_ / cipherOf("theirs");
    fs::rename(image_ / cipherOf("theirs/" + chance),
               docs / fs::path(cipherOf("theirs/" + chance)).filename());
    fs::rename(theirs / "gocryptfs.diriv", docs / "gocryptfs.diriv.sync-conflict-20240501-101010-ABCDEFG");

    resolve();
    std::vector<std::string> inDocs;
    for (const auto& e : fs::directory_iterator(mp_ / "docs"))
        inDocs.push_back(e.path().filename());
    std::sort(inDocs.begin(), inDocs.end());
    EXPECT_EQ(inDocs, (std::vector<std::string>{GocryptfsConflicts::otherCopyFolderName(1), "mine.txt"}));
    EXPECT_EQ(readFile(mp_ / "docs" / GocryptfsConflicts::otherCopyFolderName(1) / chance), "theirs");
}

// A long name's copy whose original was renamed or deleted (its record went
// with it) still shows: under its name when a copy of the record came too,
// else under a stand-in name.
TEST_F(GocryptfsConflictsMount, LongNameCopyWithoutItsOriginalGetsANameAnyway) {
    const std::string a = std::string(190, 'a') + ".odt";
    const std::string b = std::string(190, 'b') + ".odt";
    writeFile(mp_ / a, "mine a");
    writeFile(mp_ / b, "mine b");
    const fs::path copyA = makeConflictCopy(a, " (1)", "their a");
    const fs::path copyB = makeConflictCopy(b, ".sync-conflict-20240501-101010-ABCDEFG", "their b");
    // The record of b's original came along as a copy of its own.
    const fs::path recordB = image_ / (cipherOf(b) + ".name");
    fs::copy_file(recordB, image_ / (cipherOf(b) + ".sync-conflict-20240501-101010-ABCDEFG.name"));
    fs::remove(mp_ / a);
    fs::remove(mp_ / b);

    const auto r = resolve();
    EXPECT_EQ(readFile(mp_ / GocryptfsConflicts::standInName(1)), "their a");
    EXPECT_EQ(readFile(mp_ / GocryptfsConflicts::conflictName(b, 1)), "their b");
    EXPECT_EQ(r.madeVisible.size(), 2u);
    EXPECT_FALSE(fs::exists(copyA));
    EXPECT_FALSE(fs::exists(copyB));
}

// The other computer showed the copy first and the client brought its new
// name over, but has not yet removed the old one here: no second copy.
TEST_F(GocryptfsConflictsMount, CopyIdenticalToOneShownAlreadyIsLeftToTheClient) {
    writeFile(mp_ / "a.txt", "mine");
    const fs::path copy = makeConflictCopy("a.txt", " (Ann's conflicted copy 2024-05-01)", "theirs");
    const std::string bytes = readFile(copy);
    ASSERT_EQ(resolve().madeVisible.size(), 1u);
    writeFile(copy, bytes); // the old name, still here
    age(copy);
    const auto r = resolve();
    EXPECT_TRUE(r.madeVisible.empty());
    EXPECT_TRUE(r.hidden.empty());
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(mp_ / "a (Conflict 2).txt"));
    // A different copy under that name is shown.
    writeFile(mp_ / "donor-x", "theirs, changed again");
    fs::remove(copy);
    fs::rename(image_ / cipherOf("donor-x"), copy);
    age(copy);
    EXPECT_EQ(resolve().madeVisible, std::vector<std::string>{"a (Conflict 2).txt"});
}

// The control socket is where the daemon was told to open it, whatever the
// asking process's runtime folder.
TEST_F(GocryptfsConflictsMount, ControlSocketIsFoundFromTheDaemonsArguments) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime ? runtime : "";
    fs::create_directory(tmp_ / "elsewhere");
    ::setenv("XDG_RUNTIME_DIR", (tmp_ / "elsewhere").c_str(), 1);
    const fs::path asked = driver_->controlSocket(image_);
    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(asked, socket_);
    EXPECT_TRUE(GocryptfsControlSocket(asked).encryptPath("x.txt").has_value());
}

} // namespace
