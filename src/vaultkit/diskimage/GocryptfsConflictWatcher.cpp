#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <list>
#include <openssl/evp.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace vaultkit {

namespace fs = std::filesystem;

struct GocryptfsConflictWatcher::Shared {
    fs::path image, mountPoint, socket;
    GocryptfsConflicts::Log log;
    Found found;
    std::mutex mutex; // held while calling back; `stopped` under it
    bool stopped = false;
    int wake[2] = {-1, -1}; // the destructor writes to wake[1]

    void say(const std::string& line) {
        std::lock_guard lock(mutex);
        if (!stopped && log) log(line);
    }
    void report(const GocryptfsConflicts::Result& r) {
        std::lock_guard lock(mutex);
        if (!stopped && found) found(r);
    }
    bool isStopped() {
        std::lock_guard lock(mutex);
        return stopped;
    }
};

namespace {

constexpr uint32_t watchMask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB | IN_ONLYDIR;

// The inotify watches on folders of the image folder, at most `budget`:
// pinned ones (every folder of a small vault, the top levels of a large one)
// and, in what is left, the folders that changed last (the oldest go first).
class Watches {
public:
    Watches(int fd, fs::path image, std::size_t budget)
        : fd_(fd)
        , image_(std::move(image))
        , budget_(budget) {}

    bool full() const { return byWd_.size() >= budget_; }
    std::size_t count() const { return byWd_.size(); }

    // Watches `rel` (relative to the image folder); false when it cannot
    // be watched or the budget is spent on pinned ones.
    bool add(const std::string& rel, bool pinned) {
        if (fd_ < 0) return false;
        if (const auto it = byRel_.find(rel); it != byRel_.end()) {
            if (pinned) pinned_.insert(it->second);
            else touch(it->second);
            return true;
        }
        if (full() && !evictOne()) return false;
        const fs::path dir = rel.empty() ? image_ : image_ / rel;
        const int wd = ::inotify_add_watch(fd_, dir.c_str(), watchMask);
        if (wd < 0) return false;
        // The same folder under another path (it was moved): one watch.
        if (const auto old = byWd_.find(wd); old != byWd_.end()) byRel_.erase(old->second);
        byWd_[wd] = rel;
        byRel_[rel] = wd;
        if (pinned) pinned_.insert(wd);
        else touch(wd);
        return true;
    }
    const std::string* folder(int wd) const {
        const auto it = byWd_.find(wd);
        return it == byWd_.end() ? nullptr : &it->second;
    }
    // The kernel dropped the watch (the folder is gone).
    void dropped(int wd) {
        if (const auto it = byWd_.find(wd); it != byWd_.end()) {
            byRel_.erase(it->second);
            byWd_.erase(it);
        }
        pinned_.erase(wd);
        recent_.remove(wd);
    }

private:
    void touch(int wd) {
        if (pinned_.count(wd)) return;
        recent_.remove(wd);
        recent_.push_back(wd);
    }
    bool evictOne() {
        if (recent_.empty()) return false;
        const int wd = recent_.front();
        ::inotify_rm_watch(fd_, wd);
        dropped(wd);
        return true;
    }

    int fd_;
    fs::path image_;
    std::size_t budget_;
    std::unordered_map<int, std::string> byWd_;
    std::map<std::string, int> byRel_;
    std::set<int> pinned_;
    std::list<int> recent_;
};

// What changed since the last pass: folders to look at (relative to the
// image folder; true: with everything below, a folder that came new), or
// a look at the times of everything (the queue overflowed, a pass could not
// run, the timed pass).
struct Changes {
    std::map<std::string, bool> folders;
    bool everything = false;
    void add(const std::string& rel, bool recursive) {
        auto [it, fresh] = folders.try_emplace(rel, recursive);
        if (!fresh) it->second = it->second || recursive;
    }
};

std::string join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

// Reads what is pending; watches new folders and notes what changed. True
// when anything came.
bool drain(int fd, Watches& watches, bool pinNew, Changes& changes) {
    bool any = false;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        any = true;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                changes.everything = true;
                continue;
            }
            if (ev->mask & IN_IGNORED) {
                watches.dropped(ev->wd);
                continue;
            }
            const std::string* where = watches.folder(ev->wd);
            if (!where) continue;
            const std::string rel = *where; // add() below may move the map
            if ((ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && ev->len > 0) {
                const std::string dir = join(rel, ev->name);
                watches.add(dir, pinNew);
                changes.add(dir, true); // it may have come with its content
            }
            changes.add(rel, false);
        }
    }
    return any;
}

using Clock = std::chrono::steady_clock;

// The state a watcher left (see stateFileFor); none when there is none or
// it is not this user's plain file.
std::optional<std::string> readState(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    constexpr off_t limit = 64 << 20;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_size < limit) {
        std::string buf(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        while (got < buf.size()) {
            const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got == buf.size()) text = std::move(buf);
    }
    ::close(fd);
    return text;
}

// Replaces the state file whole (a reader sees the old one or the new one).
bool writeState(const fs::path& file, const std::string& text) {
    const fs::path passes = file.parent_path();
    for (const fs::path& dir : {passes.parent_path().parent_path(), passes.parent_path(), passes})
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const fs::path temp = file.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                          std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()) % 100000);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = ::close(fd) == 0 && done == text.size() && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

int msUntil(Clock::time_point t) {
    return std::max(0, static_cast<int>(
                           std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count()));
}

int msSince(Clock::time_point t) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

void runWatcher(const std::shared_ptr<GocryptfsConflictWatcher::Shared>& s) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) s->say("conflict copies: cannot watch " + s->image.string() + ": " + std::strerror(errno));
    Watches watches(fd, s->image, GocryptfsConflictWatcher::maxWatches);
    // The top is watched before the first pass: what arrives during it is
    // looked at afterwards.
    watches.add("", true);
    GocryptfsConflicts conflicts(s->image, s->mountPoint, s->socket, [&](const std::string& l) { s->say(l); });
    const fs::path stateFile = GocryptfsConflictWatcher::stateFileFor(s->image);
    bool restored = false;
    if (const auto text = readState(stateFile)) restored = conflicts.restoreState(*text);
    bool stateSaid = false;
    bool unreachableSaid = false;
    bool pending = true; // the first pass, over everything, runs at once
    bool first = true;
    // Every folder watched (a small vault): no timed passes.
    bool allWatched = false;
    Changes changes;
    // Folders with a copy not complete yet, and when to look at them again.
    std::vector<std::string> waiting;
    std::vector<std::string> lastHidden;
    std::optional<Clock::time_point> recheckAt;
    // When the next timed pass runs (never: every folder is watched).
    constexpr auto never = Clock::time_point::max();
    Clock::time_point pollAt = never;
    while (!s->isStopped()) {
        if (pending) {
            pending = false;
            const auto began = Clock::now();
            try {
                GocryptfsConflicts::Result r;
                if (first) {
                    r = restored ? conflicts.resolveChanged() : conflicts.resolve();
                } else if (changes.everything) {
                    r = conflicts.resolveChanged();
                } else {
                    std::vector<GocryptfsConflicts::Folder> folders;
                    for (const auto& [rel, recursive] : changes.folders)
                        folders.push_back({rel, recursive});
                    r = conflicts.resolve(folders);
                }
                if ((first || !r.read.empty()) && !stateFile.empty() &&
                    !writeState(stateFile, conflicts.savedState()) && !stateSaid) {
                    s->say("conflict copies: cannot keep what the passes know in " + stateFile.string() +
                           " (the first pass after the next unlock reads every folder)");
                    stateSaid = true;
                }
                first = false;
                changes = {};
                unreachableSaid = false;
                waiting = r.waiting;
                recheckAt.reset();
                if (!waiting.empty())
                    recheckAt = Clock::now() + std::chrono::milliseconds(std::max(r.waitMs, 1));
                if (!r.madeVisible.empty() || r.hidden != lastHidden) s->report(r);
                lastHidden = r.hidden;
                // Watch every folder while they fit; else the top levels,
                // and each folder a pass found changed.
                allWatched = conflicts.knownFolderCount() <= GocryptfsConflictWatcher::maxWatches;
                if (allWatched) {
                    for (const auto& rel : conflicts.knownFolders(GocryptfsConflictWatcher::maxWatches))
                        watches.add(rel, true);
                } else {
                    for (const auto& rel : conflicts.knownFolders(GocryptfsConflictWatcher::maxWatches / 2))
                        watches.add(rel, true);
                    for (const auto& rel : r.read)
                        watches.add(rel, false);
                }
            } catch (const GocryptfsControlSocket::Unreachable& e) {
                if (!unreachableSaid) s->say(std::string("conflict copies: ") + e.what());
                unreachableSaid = true;
                changes = {};
                changes.everything = true; // the next timed pass looks at all
                allWatched = false;
            } catch (const std::exception& e) {
                s->say(std::string("conflict copies: ") + e.what());
                changes = {};
                changes.everything = true;
                allWatched = false;
            }
            pollAt = allWatched ? never
                                : Clock::now() + std::chrono::milliseconds(
                                                     std::max(GocryptfsConflictWatcher::pollMs, 20 * msSince(began)));
        }
        pollfd fds[2] = {{s->wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
        const nfds_t count = fd >= 0 ? 2 : 1;
        int timeout = -1;
        if (recheckAt) timeout = msUntil(*recheckAt);
        if (pollAt != never) timeout = timeout < 0 ? msUntil(pollAt) : std::min(timeout, msUntil(pollAt));
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (ready == 0) {
            if (recheckAt && Clock::now() >= *recheckAt) {
                // Time to look again at the copies that were still being written.
                for (const auto& w : waiting)
                    changes.add(w, false);
                recheckAt.reset();
                pending = true;
            }
            if (pollAt != never && Clock::now() >= pollAt) {
                changes.everything = true;
                pending = true;
            }
            continue;
        }
        if (fd < 0 || !drain(fd, watches, allWatched, changes)) continue;
        for (const auto& w : waiting)
            changes.add(w, false);
        // Let a batch of changes settle, but not for long.
        const auto firstEvent = Clock::now();
        for (;;) {
            const int left = GocryptfsConflictWatcher::maxWaitMs - msSince(firstEvent);
            if (left <= 0) break;
            pollfd more[2] = {{s->wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
            const int r = ::poll(more, 2, std::min(left, GocryptfsConflictWatcher::settleMs));
            if (r <= 0 || more[0].revents) break;
            drain(fd, watches, allWatched, changes);
        }
        pending = true;
    }
    if (fd >= 0) ::close(fd);
    ::close(s->wake[0]);
}

} // namespace

GocryptfsConflictWatcher::GocryptfsConflictWatcher(fs::path image, fs::path mountPoint,
                                                   fs::path controlSocket, GocryptfsConflicts::Log log,
                                                   Found found)
    : shared_(std::make_shared<Shared>()) {
    shared_->image = std::move(image);
    shared_->mountPoint = std::move(mountPoint);
    shared_->socket = std::move(controlSocket);
    shared_->log = std::move(log);
    shared_->found = std::move(found);
    if (::pipe2(shared_->wake, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::thread([s = shared_] { runWatcher(s); }).detach();
}

GocryptfsConflictWatcher::~GocryptfsConflictWatcher() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = true;
    }
    const char c = 'x';
    [[maybe_unused]] const auto n = ::write(shared_->wake[1], &c, 1);
    ::close(shared_->wake[1]);
}

const fs::path& GocryptfsConflictWatcher::image() const {
    return shared_->image;
}

fs::path GocryptfsConflictWatcher::stateFileFor(const fs::path& image) {
    std::error_code ec;
    fs::path canonical = fs::canonical(image, ec);
    if (ec) canonical = fs::absolute(image, ec).lexically_normal();
    const std::string path = canonical.string();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(path.data(), path.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 8; ++i) {
        name += hex[digest[i] >> 4];
        name += hex[digest[i] & 0x0F];
    }
    fs::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
        cache = xdg;
    } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        cache = fs::path(home) / ".cache";
    } else {
        return {};
    }
    return cache / "hushcoffer" / "conflict-passes" / (name + ".state");
}

fs::path GocryptfsConflictWatcher::claimFileFor(const fs::path& controlSocket) {
    return fs::path(controlSocket.string() + ".watch");
}

int GocryptfsConflictWatcher::claim(const fs::path& controlSocket) {
    const fs::path file = claimFileFor(controlSocket);
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool GocryptfsConflictWatcher::stopClaimant(const fs::path& controlSocket, double seconds) {
    const fs::path file = claimFileFor(controlSocket);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return true;
    const auto free = [&] {
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return false;
        ::flock(fd, LOCK_UN);
        return true;
    };
    bool done = free();
    if (!done) {
        char buf[32] = {};
        const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
        const long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
        // Only a watcher: the file may be left from one that ended long ago.
        std::string args;
        if (pid > 1 && pid != ::getpid()) {
            std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
            args.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        if (args.find(std::string("watch-conflicts") + '\0') != std::string::npos) {
            // Taken before the signal, so the handle is of this process and
            // not of one that gets its number later. The watcher lets its
            // claim go first when it gets the signal, well before its end
            // (taking down its inotify watches waits for the kernel): the
            // claim is looked at every millisecond, and the end of the
            // process wakes the wait at once.
            const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
            ::kill(static_cast<pid_t>(pid), SIGTERM);
            if (pidfd >= 0) {
                while (!(done = free()) && std::chrono::steady_clock::now() < deadline) {
                    pollfd p{pidfd, POLLIN, 0};
                    if (::poll(&p, 1, 1) > 0) break;
                }
                ::close(pidfd);
            }
        }
        while (!(done = free()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return done;
}

} // namespace vaultkit
