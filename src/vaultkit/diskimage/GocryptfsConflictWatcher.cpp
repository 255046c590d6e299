#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
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

// Watches `dir` and every folder below it (not following links).
void watchTree(int fd, const fs::path& dir, std::unordered_map<int, fs::path>& watches) {
    const int wd = ::inotify_add_watch(fd, dir.c_str(), watchMask);
    if (wd < 0) return;
    watches[wd] = dir;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError) && !it->is_symlink(typeError)) watchTree(fd, it->path(), watches);
    }
}

// What changed since the last pass: folders to look at (relative to the
// image folder; true: with everything below, a folder that came new), or
// everything (the queue overflowed, or a pass could not run).
struct Changes {
    std::map<std::string, bool> folders;
    bool everything = false;
    void add(const std::string& rel, bool recursive) {
        auto [it, fresh] = folders.try_emplace(rel, recursive);
        if (!fresh) it->second = it->second || recursive;
    }
};

std::string relativeTo(const fs::path& image, const fs::path& path) {
    const std::string base = image.string();
    const std::string p = path.string();
    if (p == base) return {};
    if (p.size() > base.size() && p.compare(0, base.size(), base) == 0 && p[base.size()] == '/')
        return p.substr(base.size() + 1);
    return {};
}

// Reads what is pending; adds watches for new folders and notes what
// changed. True when anything came.
bool drain(int fd, const fs::path& image, std::unordered_map<int, fs::path>& watches, Changes& changes) {
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
                watches.erase(ev->wd);
                continue;
            }
            const auto it = watches.find(ev->wd);
            if (it == watches.end()) continue;
            if ((ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && ev->len > 0) {
                const fs::path dir = it->second / ev->name;
                watchTree(fd, dir, watches);
                changes.add(relativeTo(image, dir), true); // it may have come with its content
            }
            changes.add(relativeTo(image, it->second), false);
        }
    }
    return any;
}

int msSince(std::chrono::steady_clock::time_point t) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count());
}

void runWatcher(const std::shared_ptr<GocryptfsConflictWatcher::Shared>& s) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::unordered_map<int, fs::path> watches;
    if (fd < 0)
        s->say("conflict copies: cannot watch " + s->image.string() + ": " + std::strerror(errno));
    else
        watchTree(fd, s->image, watches);
    GocryptfsConflicts conflicts(s->image, s->mountPoint, s->socket,
                                 [&](const std::string& l) { s->say(l); });
    bool unreachableSaid = false;
    bool pending = true; // the first pass, over everything, runs at once
    Changes changes;
    changes.everything = true;
    // Folders with a copy not complete yet, and when to look at them again.
    std::vector<std::string> waiting;
    std::vector<std::string> lastHidden;
    std::optional<std::chrono::steady_clock::time_point> recheckAt;
    while (!s->isStopped()) {
        if (pending) {
            pending = false;
            try {
                GocryptfsConflicts::Result r;
                if (changes.everything) {
                    r = conflicts.resolve();
                } else {
                    std::vector<GocryptfsConflicts::Folder> folders;
                    for (const auto& [rel, recursive] : changes.folders)
                        folders.push_back({rel, recursive});
                    r = conflicts.resolve(folders);
                }
                changes = {};
                unreachableSaid = false;
                waiting = r.waiting;
                recheckAt.reset();
                if (!waiting.empty())
                    recheckAt =
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(r.waitMs, 1));
                if (!r.madeVisible.empty() || r.hidden != lastHidden) s->report(r);
                lastHidden = r.hidden;
            } catch (const GocryptfsControlSocket::Unreachable& e) {
                if (!unreachableSaid) s->say(std::string("conflict copies: ") + e.what());
                unreachableSaid = true;
                changes = {};
                changes.everything = true; // the next pass looks at everything
            } catch (const std::exception& e) {
                s->say(std::string("conflict copies: ") + e.what());
                changes = {};
                changes.everything = true;
            }
        }
        pollfd fds[2] = {{s->wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
        const nfds_t count = fd >= 0 ? 2 : 1;
        int timeout = -1;
        if (recheckAt)
            timeout = std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       *recheckAt - std::chrono::steady_clock::now())
                                                       .count()));
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (ready == 0 && recheckAt) {
            // Time to look again at the copies that were still being written.
            for (const auto& w : waiting)
                changes.add(w, false);
            recheckAt.reset();
            pending = true;
            continue;
        }
        if (fd < 0 || !drain(fd, s->image, watches, changes)) continue;
        for (const auto& w : waiting)
            changes.add(w, false);
        // Let a batch of changes settle, but not for long.
        const auto first = std::chrono::steady_clock::now();
        for (;;) {
            const int left = GocryptfsConflictWatcher::maxWaitMs - msSince(first);
            if (left <= 0) break;
            pollfd more[2] = {{s->wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
            const int r = ::poll(more, 2, std::min(left, GocryptfsConflictWatcher::settleMs));
            if (r <= 0 || more[0].revents) break;
            drain(fd, s->image, watches, changes);
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
        if (args.find(std::string("watch-conflicts") + '\0') != std::string::npos)
            ::kill(static_cast<pid_t>(pid), SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!(done = free()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return done;
}

} // namespace vaultkit
