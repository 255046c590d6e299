#include "vaultkit/diskimage/GocryptfsDiskImage.h"

#include "vaultkit/diskimage/GocryptfsConflictWatcher.h"
#include "vaultkit/diskimage/GocryptfsConflicts.h"
#include "vaultkit/diskimage/ToolText.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/process/WholeFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <set>
#include <unordered_set>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace vaultkit {

namespace {

using Clock = std::chrono::steady_clock;

// ---- Small file helpers for /proc ----

std::optional<std::string> readSmallFile(const std::string& path) { return WholeFile::read(path.c_str()); }

std::optional<std::string> readLink(const std::string& path) {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        if (buf.size() > (1u << 20)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
}

// The numeric entries of a /proc-like directory, in directory order.
std::vector<std::string> numericEntries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* ent = ::readdir(d)) {
        const std::string_view name = ent->d_name;
        if (!name.empty() &&
            std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            names.emplace_back(name);
    }
    ::closedir(d);
    return names;
}

std::string processName(const std::string& pid) {
    auto comm = readSmallFile("/proc/" + pid + "/comm");
    if (!comm) return {};
    while (!comm->empty() && comm->back() == '\n')
        comm->pop_back();
    return *comm;
}

// Start time of a process (field 22 of /proc/PID/stat) and whether it is
// still running (not gone, not a zombie). Used to tell a daemon from a later
// process that got the same PID.
struct ProcState {
    bool alive = false;
    std::string startTime;
};

ProcState procState(pid_t pid) {
    ProcState st;
    const auto text = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return st;
    // The command name in field 2 is in parentheses and may hold anything.
    const auto close = text->rfind(')');
    if (close == std::string::npos) return st;
    std::vector<std::string_view> fields; // fields from 3 (state) on
    std::string_view rest = std::string_view(*text).substr(close + 1);
    std::size_t pos = 0;
    while (pos < rest.size()) {
        while (pos < rest.size() && rest[pos] == ' ')
            ++pos;
        const auto end = std::min(rest.find(' ', pos), rest.size());
        if (end > pos) fields.push_back(rest.substr(pos, end - pos));
        pos = end;
    }
    if (fields.size() < 20) return st;
    st.alive = fields[0] != "Z" && fields[0] != "X";
    st.startTime = std::string(fields[19]);
    return st;
}

bool isBelow(std::string_view path, std::string_view dir) {
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
    if (path.size() == dir.size()) return true;
    return dir == "/" || path[dir.size()] == '/';
}

std::string fuseLineValue(std::string_view fdinfo);
std::vector<std::string> commandLine(const std::string& pid);
std::string standardized(const std::string& path);

// The live gocryptfs processes and the FUSE connections they serve, from one
// pass over /proc, so that the state of every mount of a question costs one
// pass; daemonsServing(), the stale check and the forced detach all read it.
// A zombie (a killed daemon nobody has reaped yet) has no descriptors and
// serves nothing; nor does a gocryptfs process without a /dev/fuse descriptor
// (the parent of a mount on its way up, -passwd, -init).
//
// Which mount a daemon serves is read in one of two ways:
//  - its /dev/fuse descriptor's fdinfo names the connection
//    ("fuse_connection:"), the device number the mount table gives the mount.
//    Only Linux 6.16 and later write that line (added by "fs: fuse: add dev id
//    to /dev/fuse fdinfo", May 2025); Debian 12's 6.1 and most kernels users
//    run do not.
//  - its arguments: the daemon runs as "gocryptfs -fg ... CIPHERDIR
//    MOUNTPOINT". An absolute mount point is taken as it is; a relative one
//    (a vault mounted by hand from its folder) is resolved against the
//    daemon's working directory, and since gocryptfs moves to "/" once
//    mounted, it also counts when the mount point ends with it and the
//    daemon holds the cipher directory open whose hand-made source the mount
//    table shows.
struct DaemonScan {
    enum class Answer { yes, no, unknown };
    struct Daemon {
        pid_t pid = 0;
        std::set<std::string> connections; // from fdinfo
        bool foreground = false;
        std::string mountPoint;             // the last argument resolved against the daemon's cwd
        std::string relativeMountPoint;     // that argument, when it was relative
        std::vector<std::string> openPaths; // absolute targets of its descriptors
    };
    std::vector<Daemon> daemons;
    // The users of the live gocryptfs processes whose descriptors this
    // process may not read (other users' daemons): such a process may serve
    // any mount of its user.
    std::set<std::string> hiddenUsers;
    bool byConnection = true;
    bool byArguments = true;

    static std::atomic<std::size_t>& count() {
        static std::atomic<std::size_t> n{0};
        return n;
    }

    static DaemonScan take(bool byConnection = true, bool byArguments = true) {
        ++count();
        DaemonScan scan;
        scan.byConnection = byConnection;
        scan.byArguments = byArguments;
        for (const auto& pid : numericEntries("/proc")) {
            if (processName(pid).rfind("gocryptfs", 0) != 0) continue;
            pid_t p = 0;
            std::from_chars(pid.data(), pid.data() + pid.size(), p);
            if (!procState(p).alive) continue;
            const std::string fdDir = "/proc/" + pid + "/fd";
            DIR* d = ::opendir(fdDir.c_str());
            if (!d) {
                if (errno != ENOENT) scan.hiddenUsers.insert(userOf(pid));
                continue;
            }
            ::closedir(d);
            Daemon daemon;
            daemon.pid = p;
            bool holdsFuse = false;
            for (const auto& fd : numericEntries(fdDir)) {
                const auto target = readLink(fdDir + "/" + fd);
                if (!target) continue;
                if (*target != "/dev/fuse") {
                    if (!target->empty() && (*target)[0] == '/') daemon.openPaths.push_back(*target);
                    continue;
                }
                holdsFuse = true;
                const auto info = readSmallFile("/proc/" + pid + "/fdinfo/" + fd);
                const auto value = info ? fuseLineValue(*info) : std::string();
                if (!value.empty()) daemon.connections.insert(value);
            }
            if (!holdsFuse) continue;
            const auto args = commandLine(pid);
            daemon.foreground = args.size() >= 3 && std::find(args.begin(), args.end(), "-fg") != args.end() &&
                                !args.back().empty();
            if (daemon.foreground) {
                const std::string& last = args.back();
                if (last[0] == '/') {
                    daemon.mountPoint = standardized(last);
                } else {
                    daemon.relativeMountPoint = std::filesystem::path(last).lexically_normal().string();
                    while (!daemon.relativeMountPoint.empty() && daemon.relativeMountPoint.back() == '/')
                        daemon.relativeMountPoint.pop_back();
                    if (const auto cwd = readLink("/proc/" + pid + "/cwd"); cwd && !cwd->empty() && (*cwd)[0] == '/')
                        daemon.mountPoint = standardized(*cwd + "/" + last);
                }
            }
            scan.daemons.push_back(std::move(daemon));
        }
        return scan;
    }

    // The real user id of a process ("" when unknown).
    static std::string userOf(const std::string& pid) {
        const auto status = readSmallFile("/proc/" + pid + "/status");
        const auto pos = status ? status->find("\nUid:") : std::string::npos;
        if (pos == std::string::npos) return {};
        std::size_t start = pos + 5;
        while (start < status->size() && ((*status)[start] == ' ' || (*status)[start] == '\t'))
            ++start;
        std::size_t end = start;
        while (end < status->size() && (*status)[end] >= '0' && (*status)[end] <= '9')
            ++end;
        return status->substr(start, end - start);
    }

    // Whether a daemon this process cannot see may serve the mount: one of
    // the mount's user (FUSE's "user_id=" option), or any when that is not
    // known.
    bool mayBeHidden(const MountEntry& entry) const {
        if (hiddenUsers.empty()) return false;
        const std::string key = "user_id=";
        auto pos = entry.superOptions.find(key);
        while (pos != std::string::npos && pos > 0 && entry.superOptions[pos - 1] != ',')
            pos = entry.superOptions.find(key, pos + 1);
        if (pos == std::string::npos) return true;
        const auto start = pos + key.size();
        const auto end = std::min(entry.superOptions.find(',', start), entry.superOptions.size());
        const std::string user = entry.superOptions.substr(start, end - start);
        return hiddenUsers.count(user) > 0 || hiddenUsers.count("") > 0;
    }

    // Whether `d` serves the mount `entry`, by the ways switched on.
    Answer answer(const Daemon& d, const MountEntry& entry) const {
        if (byConnection && !d.connections.empty())
            return d.connections.count(std::to_string((entry.major << 20) | entry.minor)) ? Answer::yes
                                                                                          : Answer::no;
        if (!byArguments || !d.foreground) return Answer::unknown;
        if (d.mountPoint == entry.mountPoint) return Answer::yes;
        if (d.relativeMountPoint.empty()) return Answer::no; // an absolute mount point elsewhere
        const std::string& mp = entry.mountPoint;
        const std::string& rel = d.relativeMountPoint;
        const bool endsWith = rel != "." && rel.rfind("..", 0) != 0 && mp.size() > rel.size() &&
                              mp.compare(mp.size() - rel.size(), rel.size(), rel) == 0 &&
                              mp[mp.size() - rel.size() - 1] == '/';
        if (endsWith && std::any_of(d.openPaths.begin(), d.openPaths.end(), [&](const std::string& p) {
                return GocryptfsDiskImage::handMadeSource(p) == entry.source;
            }))
            return Answer::yes;
        return Answer::unknown;
    }

    std::vector<pid_t> serving(const MountEntry& entry) const {
        std::vector<pid_t> pids;
        for (const auto& d : daemons)
            if (answer(d, entry) == Answer::yes) pids.push_back(d.pid);
        return pids;
    }

    // Whether a process might serve the mount although no way told so.
    bool mayServe(const MountEntry& entry) const {
        return mayBeHidden(entry) || std::any_of(daemons.begin(), daemons.end(), [&](const Daemon& d) {
                   return answer(d, entry) == Answer::unknown;
               });
    }

    bool serves(const MountEntry& entry) const { return !serving(entry).empty(); }
};

// What the kernel says of a FUSE mount when its mount point is asked for
// its file system's figures: the daemon answered (alive), the connection is
// gone (ENOTCONN, ECONNABORTED: the daemon died or the connection was cut),
// or nothing that tells (no answer in
// time, a mount this process may not ask, another error).
enum class MountProbe { answered, disconnected, unknown };

// statfs of each mount point on a thread of its own, all asked at once and
// waited for at most `timeout` seconds together: a stopped daemon leaves the
// call waiting until it runs again or dies, and the caller must not wait
// with it. While such a call to a mount point is still waiting, no other is
// started there (the answer is unknown at once), so a stopped daemon holds
// at most one thread per mount.
std::map<std::string, MountProbe> probeMounts(const std::set<std::string>& mountPoints, double timeout) {
    struct Probe {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        int result = 0;
        int error = 0;
        struct statfs figures;
    };
    static std::mutex pendingMutex;
    static std::map<std::string, std::shared_ptr<Probe>> pending;
    std::map<std::string, MountProbe> answers;
    std::vector<std::pair<std::string, std::shared_ptr<Probe>>> asked;
    for (const auto& mountPoint : mountPoints) {
        answers[mountPoint] = MountProbe::unknown;
        auto probe = std::make_shared<Probe>();
        {
            std::lock_guard lock(pendingMutex);
            const auto it = pending.find(mountPoint);
            if (it != pending.end()) {
                std::lock_guard probeLock(it->second->mutex);
                if (!it->second->finished) continue;
            }
            pending[mountPoint] = probe;
        }
        try {
            std::thread([probe, mountPoint] {
                struct statfs figures {};
                const int result = ::statfs(mountPoint.c_str(), &figures);
                const int error = result == 0 ? 0 : errno;
                {
                    std::lock_guard lock(probe->mutex);
                    probe->result = result;
                    probe->error = error;
                    probe->figures = figures;
                    probe->finished = true;
                }
                probe->done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            // no thread to spare: the slow way tells
            std::lock_guard lock(pendingMutex);
            pending.erase(mountPoint);
            continue;
        }
        asked.emplace_back(mountPoint, std::move(probe));
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeout));
    for (const auto& one : asked) {
        Probe& probe = *one.second;
        std::unique_lock lock(probe.mutex);
        if (!probe.done.wait_until(lock, deadline, [&] { return probe.finished; })) continue;
        if (probe.result != 0) {
            // ECONNABORTED: the call was on its way when the connection went.
            if (probe.error == ENOTCONN || probe.error == ECONNABORTED) answers[one.first] = MountProbe::disconnected;
            continue;
        }
        // A FUSE mount answers a process it does not serve (another user's,
        // without allow_other) with its type alone, never asking the daemon.
        if (probe.figures.f_bsize != 0 && probe.figures.f_namelen != 0) answers[one.first] = MountProbe::answered;
    }
    return answers;
}

// Aborts the FUSE connection of `entry` through the FUSE control file system
// mounted at `dir` ("<dir>/<connection>/abort", owned by the mount's owner).
// False when `dir` is empty or not that file system, or the file cannot be
// written.
bool abortConnection(const std::string& dir, const MountEntry& entry) {
    static constexpr long fuseControlMagic = 0x65735543;
    struct statfs sfs {};
    if (dir.empty() || ::statfs(dir.c_str(), &sfs) != 0 || static_cast<long>(sfs.f_type) != fuseControlMagic)
        return false;
    const std::string file = dir + "/" + std::to_string((entry.major << 20) | entry.minor) + "/abort";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool written = ::write(fd, "1", 1) == 1;
    ::close(fd);
    return written;
}

// ---- Path helpers ----

std::vector<std::string> splitPath(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        auto end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        if (end > pos) parts.emplace_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return parts;
}

std::string joinPath(const std::vector<std::string>& parts) {
    if (parts.empty()) return "/";
    std::string out;
    for (const auto& p : parts) {
        out += '/';
        out += p;
    }
    return out;
}

std::string currentDirectory() {
    std::string buf(4096, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) return std::string(buf.c_str());
        if (errno != ERANGE || buf.size() > (1u << 20)) return "/";
        buf.resize(buf.size() * 2);
    }
}

std::string absoluteText(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    const std::string cwd = currentDirectory();
    return path.empty() ? cwd : cwd + "/" + path;
}

// "." and ".." removed lexically, no trailing slash: the standardised form.
std::string standardized(const std::string& path) {
    std::vector<std::string> out;
    for (auto& part : splitPath(absoluteText(path))) {
        if (part == ".") continue;
        if (part == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(std::move(part));
    }
    return joinPath(out);
}

// The one entry of `dir` whose name, with "," as "_" and "\\" dropped, is
// `shown`; none when there is no such entry or more than one.
std::optional<std::string> uniqueEntryShownAs(const std::string& dir, const std::string& shown) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    std::optional<std::string> found;
    bool ambiguous = false;
    while (const dirent* ent = ::readdir(d)) {
        const std::string_view name = ent->d_name;
        if (name == "." || name == "..") continue;
        if (GocryptfsDiskImage::handMadeSource(name) != shown) continue;
        if (found) ambiguous = true;
        found = std::string(name);
    }
    ::closedir(d);
    if (ambiguous) return std::nullopt;
    return found;
}

// lstat results of the path prefixes already looked at, shared by the paths
// of one question (vaults side by side share all but their last components).
struct LstatMemo {
    struct Entry {
        int error = 0; // errno of lstat, 0 when it worked
        struct stat st {};
        std::optional<std::string> link; // the target, for a symbolic link
    };
    std::unordered_map<std::string, Entry> entries;
};

// realpath() that never looks at a mount point listed in `mountPoints`
// (lstat on the root of a FUSE mount waits for its daemon). None when a
// component does not exist or the links loop. With `mangled`, a component
// that does not exist may stand for the one entry that shows like it in the
// source field of a mount made by hand. With `memo`, each prefix is looked
// at once.
std::optional<std::string> resolveNoTouch(const std::string& path,
                                          const std::unordered_set<std::string>& mountPoints,
                                          bool mangled = false, LstatMemo* memo = nullptr) {
    std::vector<std::string> pending = splitPath(absoluteText(path));
    std::reverse(pending.begin(), pending.end()); // back() is the next component
    std::vector<std::string> done;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.back());
        pending.pop_back();
        if (part == ".") continue;
        if (part == "..") {
            if (!done.empty()) done.pop_back();
            continue;
        }
        done.push_back(std::move(part));
        const std::string candidate = joinPath(done);
        if (mountPoints.count(candidate)) continue; // a mounted directory: never a link
        struct stat st {};
        const LstatMemo::Entry* known = nullptr;
        if (memo) {
            auto [it, fresh] = memo->entries.try_emplace(candidate);
            if (fresh) {
                if (::lstat(candidate.c_str(), &it->second.st) != 0)
                    it->second.error = errno;
                else if (S_ISLNK(it->second.st.st_mode))
                    it->second.link = readLink(candidate);
            }
            known = &it->second;
            st = known->st;
        }
        if (known ? known->error != 0 : ::lstat(candidate.c_str(), &st) != 0) {
            if (known) errno = known->error;
            if (!mangled || errno != ENOENT) return std::nullopt;
            // The path of a mount made by hand, as the mount table shows it:
            // look for the one entry whose name shows like this component.
            const std::string shown = done.back();
            done.pop_back();
            const std::string dir = joinPath(done);
            if (mountPoints.count(dir)) return std::nullopt;
            const auto real = uniqueEntryShownAs(dir, shown);
            if (!real) return std::nullopt;
            done.push_back(*real);
            if (::lstat(joinPath(done).c_str(), &st) != 0) return std::nullopt;
            known = nullptr; // the memo's entry was for the name as shown
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) return std::nullopt;
            const auto target = known ? known->link : readLink(joinPath(done));
            if (!target || target->empty()) return std::nullopt;
            done.pop_back();
            if ((*target)[0] == '/') done.clear();
            auto targetParts = splitPath(*target);
            for (auto it = targetParts.rbegin(); it != targetParts.rend(); ++it)
                pending.push_back(std::move(*it));
        } else if (!S_ISDIR(st.st_mode) && !pending.empty()) {
            return std::nullopt; // a file in the middle of a path
        }
    }
    return joinPath(done);
}

std::unordered_set<std::string> mountPointSet(const std::vector<MountEntry>& table) {
    std::unordered_set<std::string> set;
    for (const auto& e : table)
        set.insert(e.mountPoint);
    return set;
}

// ---- Passwords on standard input ----

// The password bytes followed by a line feed; wiped when it goes.
class SecretInput {
public:
    explicit SecretInput(std::initializer_list<const std::string*> lines) {
        Bytes bytes;
        std::size_t total = 0;
        for (const auto* l : lines)
            total += l->size() + 1;
        bytes.reserve(total);
        for (const auto* l : lines) {
            bytes.insert(bytes.end(), l->begin(), l->end());
            bytes.push_back('\n');
        }
        input_ = std::move(bytes);
    }
    ~SecretInput() {
        if (input_ && !input_->empty()) OPENSSL_cleanse(input_->data(), input_->size());
    }
    SecretInput(const SecretInput&) = delete;
    SecretInput& operator=(const SecretInput&) = delete;
    const std::optional<Bytes>& get() const { return input_; }

private:
    std::optional<Bytes> input_;
};

void wipe(ExecResult& r) {
    if (!r.stdoutBytes.empty()) OPENSSL_cleanse(r.stdoutBytes.data(), r.stdoutBytes.size());
}

bool mentionsBusy(const std::string& text) {
    return text.find("Device or resource busy") != std::string::npos;
}

std::string fuseLineValue(std::string_view fdinfo) {
    static constexpr std::string_view key = "fuse_connection:";
    const auto pos = fdinfo.find(key);
    if (pos == std::string_view::npos) return {};
    auto start = pos + key.size();
    while (start < fdinfo.size() && (fdinfo[start] == ' ' || fdinfo[start] == '\t'))
        ++start;
    auto end = start;
    while (end < fdinfo.size() && fdinfo[end] >= '0' && fdinfo[end] <= '9')
        ++end;
    return std::string(fdinfo.substr(start, end - start));
}

// The command line of a process as its arguments.
std::vector<std::string> commandLine(const std::string& pid) {
    std::vector<std::string> args;
    const auto text = readSmallFile("/proc/" + pid + "/cmdline");
    if (!text) return args;
    std::size_t pos = 0;
    while (pos < text->size()) {
        auto end = text->find('\0', pos);
        if (end == std::string::npos) end = text->size();
        args.push_back(text->substr(pos, end - pos));
        pos = end + 1;
    }
    return args;
}

// ---- The output of -fsck ----

// The Go-quoted string (%q) starting at text[pos] == '"'; `pos` moves past
// it. None when it is not a complete quoted string.
std::optional<std::string> goUnquote(std::string_view text, std::size_t& pos) {
    if (pos >= text.size() || text[pos] != '"') return std::nullopt;
    std::string out;
    const auto hexValue = [&](std::size_t at, std::size_t digits, unsigned long& value) {
        if (at + digits > text.size()) return false;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + digits, value, 16);
        return ec == std::errc() && end == text.data() + at + digits;
    };
    const auto appendUtf8 = [&](unsigned long cp) {
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    };
    std::size_t i = pos + 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            pos = i + 1;
            return out;
        }
        if (c == '\n') return std::nullopt;
        if (c != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) return std::nullopt;
        const char e = text[i + 1];
        unsigned long value = 0;
        switch (e) {
        case 'a': out.push_back('\a'); i += 2; break;
        case 'b': out.push_back('\b'); i += 2; break;
        case 'f': out.push_back('\f'); i += 2; break;
        case 'n': out.push_back('\n'); i += 2; break;
        case 'r': out.push_back('\r'); i += 2; break;
        case 't': out.push_back('\t'); i += 2; break;
        case 'v': out.push_back('\v'); i += 2; break;
        case '\\': case '"': case '\'': out.push_back(e); i += 2; break;
        case 'x':
            if (!hexValue(i + 2, 2, value)) return std::nullopt;
            out.push_back(static_cast<char>(value)); // a raw byte
            i += 4;
            break;
        case 'u':
            if (!hexValue(i + 2, 4, value)) return std::nullopt;
            appendUtf8(value);
            i += 6;
            break;
        case 'U':
            if (!hexValue(i + 2, 8, value)) return std::nullopt;
            appendUtf8(value);
            i += 10;
            break;
        default:
            if (e >= '0' && e <= '7' && i + 3 < text.size()) {
                const auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 4, value, 8);
                if (ec != std::errc() || end != text.data() + i + 4 || value > 255) return std::nullopt;
                out.push_back(static_cast<char>(value));
                i += 4;
                break;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// A name a sync client gave its conflict copy of an encrypted name.
bool isConflictCopyName(const std::string& name) {
    for (const auto& o : GocryptfsConflicts::originalNames(name))
        if (GocryptfsConflicts::isCipherName(o) || o == "gocryptfs.diriv" ||
            (o.size() > 5 && o.compare(o.size() - 5, 5, ".name") == 0 && o.rfind("gocryptfs.longname.", 0) == 0))
            return true;
    return false;
}

// ---- The control socket ----

// A folder only this user can enter: made 0700 when missing; refused when it
// is a link, another user's, or open to others and not ours to close.
// Flushes a file's data or a folder's entries to the disk. gocryptfs flushes
// its config before renaming it into place but never the folder the rename
// happened in, nor the root folder's IV: after -init and -passwd a power cut
// could otherwise take back what the tool reported done.
void flushToDisk(const std::filesystem::path& path, const std::string& verb) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int rc = fd < 0 ? -1 : ::fsync(fd);
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if (rc != 0 && err != EINVAL && err != EROFS)
        throw VaultError::hdiutil(verb, "cannot flush " + path.string() + ": " + std::strerror(err));
}

// gocryptfs -passwd makes gocryptfs.conf.tmp with O_EXCL, so one left by a
// change that was stopped before its rename blocks every later change and
// recovery. It holds the image's key under the password that change was
// setting (perhaps its only copy), so it is never deleted: it moves beside
// the image folder under a name that says what it is, and the move is logged.
void setAsideUnfinishedConfig(const std::filesystem::path& image) {
    const std::filesystem::path leftover = image / "gocryptfs.conf.tmp";
    struct stat st {};
    if (::lstat(leftover.c_str(), &st) != 0) return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = "gocryptfs.conf.unfinished-password-change-" + std::string(stamp);
    const std::filesystem::path folder = image.parent_path().empty() ? "." : image.parent_path();
    std::filesystem::path aside = folder / base;
    for (int n = 2; ::renameat2(AT_FDCWD, leftover.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0;
         ++n) {
        if (errno != EEXIST || n > 1000)
            throw VaultError::hdiutil("chpass", "a leftover gocryptfs.conf.tmp in the image folder blocks the "
                                                "password change and cannot be moved aside: " +
                                                    std::string(std::strerror(errno)));
        aside = folder / (base + "-" + std::to_string(n));
    }
    flushToDisk(image, "chpass");
    flushToDisk(folder, "chpass");
    DiskImage::notice("an unfinished password change had left " + leftover.string() + "; moved to " +
                      aside.string() + " (it holds the image's key under the password that change was setting)");
}

bool privateFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return false;
    return true;
}

// Whether a process listens on the Unix socket at `path`.
bool someoneListens(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path));
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Removes the control sockets of mounts of the image that are gone (nobody
// listens: a daemon that was killed leaves its file) and the watchers' claim
// files beside them that nobody holds. A daemon that is still ending listens
// until it has gone and removes its own file.
void removeStaleControlSockets(const std::filesystem::path& folder, const std::string& stem) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (const dirent* ent = ::readdir(d))
        if (std::string_view(ent->d_name).substr(0, stem.size()) == stem) names.emplace_back(ent->d_name);
    ::closedir(d);
    const auto endsWith = [](const std::string& n, std::string_view tail) {
        return n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (const auto& n : names) {
        const std::string path = (folder / n).string();
        struct stat st {};
        if (endsWith(n, ".sock")) {
            if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && !someoneListens(path))
                ::unlink(path.c_str());
        }
    }
    for (const auto& n : names) {
        if (!endsWith(n, ".sock.watch")) continue;
        const std::string path = (folder / n).string();
        struct stat st {};
        if (::lstat(path.substr(0, path.size() - 6).c_str(), &st) == 0) continue; // its mount is there
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
        ::close(fd);
    }
}

// A fresh socket path for a new mount of `canonicalImage`, its folder made
// and the leftovers of mounts that are gone removed: "<stem>-<8 random hex
// digits>.sock" beside controlSocketFor()'s "<stem>.sock". A mount never
// waits for the daemon of the one before (it removes its own socket when it
// has ended, which may be after the next mount came up). None when no
// private folder can be had; the mount then goes without a socket.
std::optional<std::string> prepareControlSocket(const std::string& canonicalImage) {
    const std::filesystem::path base = GocryptfsDiskImage::controlSocketFor(canonicalImage);
    const std::filesystem::path folder = base.parent_path();
    if (!privateFolder(folder.string())) return std::nullopt;
    const std::string stem = base.stem().string();
    removeStaleControlSockets(folder, stem);
    static constexpr char hex[] = "0123456789abcdef";
    for (int tries = 0; tries < 16; ++tries) {
        unsigned char raw[4];
        if (RAND_bytes(raw, sizeof raw) != 1) return std::nullopt;
        std::string name = stem + "-";
        for (const auto b : raw) {
            name += hex[b >> 4];
            name += hex[b & 0x0F];
        }
        const std::string sock = (folder / (name + ".sock")).string();
        struct stat st {};
        if (::lstat(sock.c_str(), &st) != 0 && errno == ENOENT) return sock;
    }
    return std::nullopt;
}

} // namespace

// ---------------------------------------------------------------------------

GocryptfsDiskImage::GocryptfsDiskImage()
    : GocryptfsDiskImage(Options{}) {}

GocryptfsDiskImage::GocryptfsDiskImage(Options options)
    : options_(std::move(options)) {
    if (options_.scryptN != 0 && (options_.scryptN < 10 || options_.scryptN > 28))
        throw std::invalid_argument("gocryptfs scrypt cost must be 0 (default) or 10 to 28");
    for (const auto& o : options_.mountOptions.value_or(std::vector<std::string>{}))
        if (o.size() < 2 || o[0] != '-' || o == "--")
            throw std::invalid_argument("gocryptfs mount option must start with \"-\": " + o);
}

std::vector<std::string> GocryptfsDiskImage::mountOptionsFor(MountMode mode) {
    if (mode == MountMode::shared) return {"-sharedstorage"};
    return {"-kernel_cache"};
}

std::vector<std::string> GocryptfsDiskImage::readmeHowToOpen() const {
    // Lines 5 to 8 of README.txt, below "Open without Hushcoffer:".
    return {
        "  在 Linux 上安装 gocryptfs，新建一个空文件夹，运行 gocryptfs data.gocryptfs 该文件夹，输入主密码。",
        "  On Linux: install gocryptfs, make an empty FOLDER, run gocryptfs data.gocryptfs FOLDER, "
        "enter your master password.",
        "用完后关闭 / To close it again:",
        "  fusermount3 -u FOLDER",
    };
}

// ---- Pure parts ----

std::string GocryptfsDiskImage::fsnameFor(std::string_view canonicalImage) {
    // Everything that FUSE's option syntax or the mount table would change
    // (",", "\", white space, "=", "%") is percent-encoded; UTF-8 stays as is.
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out(fsnamePrefix);
    for (const char ch : canonicalImage) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c >= 0x80 || c == '/' || c == '.' || c == '_' || c == '-' || c == '~' ||
                           c == '+' || c == ':' || c == '@';
        if (plain) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

std::optional<std::string> GocryptfsDiskImage::imageFromFsname(std::string_view source) {
    if (source.substr(0, fsnamePrefix.size()) != fsnamePrefix) return std::nullopt;
    source.remove_prefix(fsnamePrefix.size());
    std::string out;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (source[i] != '%') {
            out.push_back(source[i]);
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= source.size()) return std::nullopt;
        const auto [end, ec] = std::from_chars(source.data() + i + 1, source.data() + i + 3, value, 16);
        if (ec != std::errc() || end != source.data() + i + 3) return std::nullopt;
        out.push_back(static_cast<char>(static_cast<unsigned char>(value)));
        i += 2;
    }
    if (out.empty() || out[0] != '/') return std::nullopt;
    return out;
}

std::string GocryptfsDiskImage::handMadeSource(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        if (c == '\\') continue;
        out.push_back(c == ',' ? '_' : c);
    }
    return out;
}

std::string GocryptfsDiskImage::cleanToolText(std::string_view text) {
    // Without a syslog daemon gocryptfs reports its switch to syslog on stderr,
    // even on success: "SwitchToSyslog: ..." / "SwitchLoggerToSyslog: ...".
    std::string kept;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const auto line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find("SwitchToSyslog") != std::string_view::npos ||
            line.find("SwitchLoggerToSyslog") != std::string_view::npos)
            continue;
        kept.append(line);
        kept.push_back('\n');
    }
    return ToolText::cleanErr(kept);
}

void GocryptfsDiskImage::checkPasswordShape(const std::string& password, const std::string& verb) {
    if (password.size() > maxPasswordBytes)
        throw VaultError::hdiutil(verb, "password too long for gocryptfs (more than 2048 bytes)");
    if (password.find('\n') != std::string::npos || password.find('\0') != std::string::npos)
        throw VaultError::hdiutil(
            verb, "password contains a line break or NUL character, which gocryptfs cannot read");
}

std::string GocryptfsDiskImage::canonicalIn(const std::string& path, const std::vector<MountEntry>& table) {
    if (auto real = resolveNoTouch(path, mountPointSet(table))) return *real;
    return standardized(path);
}

std::vector<MountEntry> GocryptfsDiskImage::mountsOf(const std::filesystem::path& image,
                                                     const std::vector<MountEntry>& table) {
    std::vector<MountEntry> found;
    const bool any =
        std::any_of(table.begin(), table.end(), [](const MountEntry& e) { return e.fsType == fsType; });
    if (!any) return found;
    const auto mps = mountPointSet(table);
    const std::string given = standardized(image.string());
    const std::string canon = resolveNoTouch(image.string(), mps).value_or(given);
    const std::string handCanon = handMadeSource(canon);
    const std::string handGiven = handMadeSource(given);
    for (const auto& e : table) {
        if (e.fsType != fsType) continue;
        bool match = false;
        if (auto ours = imageFromFsname(e.source)) {
            match = *ours == canon || resolveNoTouch(*ours, mps) == canon;
        } else if (!e.source.empty() && e.source[0] == '/') {
            // A mount made by hand: the cipher path as it was given (made
            // absolute, links not resolved), with "," as "_" and no "\".
            match = e.source == handCanon || e.source == handGiven;
            if (!match) {
                const auto real = resolveNoTouch(e.source, mps, true);
                match = real && *real == canon;
            }
        }
        if (match) found.push_back(e);
    }
    return found;
}

std::vector<pid_t> GocryptfsDiskImage::daemonsServing(const MountEntry& entry) {
    return DaemonScan::take().serving(entry);
}

std::size_t GocryptfsDiskImage::daemonScanCount() {
    return DaemonScan::count().load();
}

std::filesystem::path GocryptfsDiskImage::controlSocketFor(std::string_view canonicalImage) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(canonicalImage.data(), canonicalImage.size(), digest, &digestLength, EVP_sha256(),
                   nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 8; ++i) {
        name += hex[digest[i] >> 4];
        name += hex[digest[i] & 0x0F];
    }
    name += ".sock";
    // Each mount's socket has "-" and 8 hex digits more (prepareControlSocket).
    constexpr std::size_t freshSuffix = 9;
    const std::string fallback = "/tmp/hushcoffer-" + std::to_string(::geteuid());
    std::string folder = fallback;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        struct stat st {};
        const std::string candidate = std::string(runtime) + "/hushcoffer";
        if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
            candidate.size() + 1 + name.size() + freshSuffix < sizeof(sockaddr_un::sun_path))
            folder = candidate;
    }
    return std::filesystem::path(folder) / name;
}

namespace {

// The control socket a daemon was told to open ("-ctlsock PATH").
std::optional<std::string> controlSocketArgument(pid_t pid) {
    const auto args = commandLine(std::to_string(pid));
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") break;
        std::string_view a = args[i];
        if (a.substr(0, 2) == "--") a.remove_prefix(1);
        if (a == "-ctlsock" && i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] == '/')
            return args[i + 1];
        if (a.substr(0, 9) == "-ctlsock=" && a.size() > 10 && a[9] == '/') return std::string(a.substr(9));
    }
    return std::nullopt;
}

// Ends the conflict watcher that claimed the mount at `mp` (see
// GocryptfsConflictWatcher::claim), so that it holds nothing open in it.
void stopConflictWatcher(const std::string& mp, const std::vector<MountEntry>& table) {
    std::optional<DaemonScan> scan;
    for (const auto& e : table) {
        if (e.mountPoint != mp || e.fsType != GocryptfsDiskImage::fsType) continue;
        if (!scan) scan = DaemonScan::take();
        for (const pid_t pid : scan->serving(e))
            if (const auto sock = controlSocketArgument(pid)) GocryptfsConflictWatcher::stopClaimant(*sock);
    }
}

// The same, without looking at every process: the claim files beside the
// sockets of the image's mounts ("<stem>-*.sock.watch") in the folders this
// user's sockets go to (this process's, the login session's, the fallback).
// A mount made with a runtime folder elsewhere is missed; the unmount then
// finds its watcher when the mount is busy (detach).
void stopConflictWatcherQuickly(const std::string& mp, const std::vector<MountEntry>& table) {
    for (const auto& e : table) {
        if (e.mountPoint != mp || e.fsType != GocryptfsDiskImage::fsType) continue;
        const auto image = GocryptfsDiskImage::imageFromFsname(e.source);
        if (!image) {
            stopConflictWatcher(mp, table);
            return;
        }
        const std::filesystem::path base = GocryptfsDiskImage::controlSocketFor(*image);
        const std::string prefix = base.stem().string() + "-";
        const std::string uid = std::to_string(::geteuid());
        const std::set<std::string> folders = {base.parent_path().string(), "/run/user/" + uid + "/hushcoffer",
                                               "/tmp/hushcoffer-" + uid};
        for (const auto& folder : folders) {
            DIR* d = ::opendir(folder.c_str());
            if (!d) continue;
            std::vector<std::string> claims;
            while (const dirent* ent = ::readdir(d)) {
                const std::string_view n = ent->d_name;
                if (n.size() > prefix.size() + 11 && n.substr(0, prefix.size()) == prefix &&
                    n.substr(n.size() - 11) == ".sock.watch")
                    claims.emplace_back(n.substr(0, n.size() - 6));
            }
            ::closedir(d);
            for (const auto& sock : claims)
                GocryptfsConflictWatcher::stopClaimant(std::filesystem::path(folder) / sock);
        }
    }
}

} // namespace

std::optional<std::filesystem::path>
GocryptfsDiskImage::mountControlSocket(const std::filesystem::path& image) {
    return controlSocket(image);
}

std::filesystem::path GocryptfsDiskImage::controlSocket(const std::filesystem::path& image) {
    // Where the serving daemon was told to open it: the process that
    // mounted the vault may have had another runtime folder (a systemd
    // unit, a login session, another terminal).
    const auto table = MountTable::read();
    const auto scan = DaemonScan::take();
    for (const auto& e : mountsOf(image, table))
        for (const pid_t pid : scan.serving(e))
            if (const auto sock = controlSocketArgument(pid)) return *sock;
    return controlSocketFor(canonicalIn(image.string(), table));
}

DiskImage::DataCheck GocryptfsDiskImage::parseFsckOutput(std::string_view output) {
    DataCheck check;
    static constexpr std::string_view prefix = "fsck: ";
    static constexpr std::string_view summary = "fsck summary: ";
    const auto add = [&](std::string path) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (path.empty()) path = "/";
        if (std::find(check.damaged.begin(), check.damaged.end(), path) == check.damaged.end())
            check.damaged.push_back(std::move(path));
    };
    std::size_t pos = 0;
    while (pos < output.size()) {
        auto end = output.find('\n', pos);
        if (end == std::string_view::npos) end = output.size();
        const std::string_view line = output.substr(pos, end - pos);
        pos = end + 1;
        if (line.substr(0, summary.size()) == summary) {
            std::size_t n = 0;
            const auto rest = line.substr(summary.size());
            const auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
            if (ec == std::errc() && std::string_view(p, static_cast<std::size_t>(rest.data() + rest.size() - p))
                                             .substr(0, 8) == " corrupt")
                check.damagedCount = n;
            continue;
        }
        if (line.substr(0, prefix.size()) != prefix) continue;
        // The quoted strings of the line, in order.
        std::vector<std::string> quoted;
        for (std::size_t q = line.find('"'); q != std::string_view::npos && quoted.size() < 2;
             q = line.find('"', q)) {
            auto text = goUnquote(line, q);
            if (!text) break;
            quoted.push_back(std::move(*text));
        }
        if (quoted.empty()) continue;
        if (line.find("corrupt entry in dir") != std::string_view::npos && quoted.size() == 2) {
            const std::string& dir = quoted[0];
            std::string path = dir.empty() || dir == "/" || dir == "." ? quoted[1] : dir + "/" + quoted[1];
            // A name that does not decrypt is no damage when a sync client
            // made it: its conflict copy or its temporary file.
            auto& kind = GocryptfsConflicts::syncTemporaryClient(quoted[1]) ? check.syncTemporaries
                         : isConflictCopyName(quoted[1])                     ? check.conflictCopies
                                                                             : check.damaged;
            if (&kind != &check.damaged) {
                if (std::find(kind.begin(), kind.end(), path) == kind.end()) kind.push_back(std::move(path));
                continue;
            }
            add(std::move(path));
        } else {
            add(quoted[0]);
        }
    }
    // The summary counts the entries that are no damage too.
    const std::size_t notDamage = check.conflictCopies.size() + check.syncTemporaries.size();
    check.damagedCount = check.damagedCount > notDamage ? check.damagedCount - notDamage : 0;
    check.damagedCount = std::max(check.damagedCount, check.damaged.size());
    return check;
}

DiskImage::DataCheck GocryptfsDiskImage::checkData(const std::filesystem::path& image, const std::string& password) {
    checkPasswordShape(password, "check");
    if (!mountsOf(image, MountTable::read()).empty())
        throw VaultError::hdiutil("check", "the image is mounted; lock the vault first");
    ExecResult r;
    {
        SecretInput input{&password};
        r = Exec::runSync(options_.gocryptfs, {"-fsck", "-q", "--", image.string()}, input.get(),
                          options_.checkDataTimeout);
    }
    const std::string out = r.stdoutText();
    wipe(r);
    if (r.status == 12) throw VaultError::wrongPassword();
    if (r.status == 0) return {};
    if (r.status == 26) {
        auto check = parseFsckOutput(out + "\n" + r.stderrText);
        // damage found, none named
        if (check.damagedCount == 0 && check.conflictCopies.empty() && check.syncTemporaries.empty())
            check.damagedCount = 1;
        return check;
    }
    std::string message = cleanToolText(r.stderrText + out);
    if (message.empty()) message = "gocryptfs -fsck ended with status " + std::to_string(r.status);
    throw VaultError::hdiutil("check", message);
}

// A cipher directory that never held a file has nothing but what -init
// writes (its config, perhaps still under its temporary name, and the root
// folder's IV). The first file or folder made inside adds an encrypted name.
bool GocryptfsDiskImage::neverHeldData(const std::filesystem::path& image) {
    struct stat st {};
    if (::lstat(image.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    static const std::set<std::string> initFiles = {"gocryptfs.conf", "gocryptfs.conf.tmp", "gocryptfs.diriv"};
    std::error_code ec;
    for (std::filesystem::directory_iterator it(image, ec), end; !ec && it != end; it.increment(ec))
        if (!initFiles.contains(it->path().filename().string())) return false;
    return !ec;
}

// ---- Operations ----

void GocryptfsDiskImage::create(const std::filesystem::path& image, const std::string& password,
                                const std::string& /*volumeName: gocryptfs has no volume name*/) {
    checkPasswordShape(password, "create");
    if (::mkdir(image.c_str(), 0700) != 0 && errno != EEXIST)
        throw VaultError::hdiutil("create",
                                  "cannot make the image folder: " + std::string(std::strerror(errno)));
    std::vector<std::string> args = {"-init", "-q"};
    if (options_.scryptN != 0) {
        args.push_back("-scryptn");
        args.push_back(std::to_string(options_.scryptN));
    }
    args.push_back("--");
    args.push_back(image.string());
    SecretInput input{&password};
    ExecResult r = Exec::runSync(options_.gocryptfs, args, input.get(), options_.createTimeout);
    wipe(r);
    if (r.status != 0) throw VaultError::hdiutil("create", cleanToolText(r.stderrText));
    // gocryptfs writes the root folder's IV without flushing it (an empty IV
    // after a power cut makes every name unreadable) and never flushes the
    // folders: the image is on the disk before the caller records it.
    for (const auto& p : {image / "gocryptfs.diriv", image / "gocryptfs.conf", image,
                          image.parent_path().empty() ? std::filesystem::path(".") : image.parent_path()})
        flushToDisk(p, "create");
}

void GocryptfsDiskImage::attach(const std::filesystem::path& image, const std::string& password,
                                const std::filesystem::path& mountPoint, MountMode mode) {
    checkPasswordShape(password, "attach");
    // Two processes attaching the same image at once (the app and the CLI)
    // would both pass the checks below and mount it twice: they take turns
    // on a lock of the image folder, held until gocryptfs has mounted (it
    // returns once the volume is up) or failed. Closing the descriptor
    // releases it; the daemon never inherits it (close-on-exec).
    const int lockFd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lockFd >= 0)
        while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    const struct Release {
        int fd;
        ~Release() {
            if (fd >= 0) ::close(fd);
        }
    } release{lockFd};
    const auto table = MountTable::read();
    // gocryptfs itself does not notice a second mount of the same cipher
    // directory; two daemons writing one directory would damage it.
    const auto existing = mountsOf(image, table);
    if (!existing.empty())
        throw VaultError::hdiutil("attach", "the image is already mounted at " + existing.front().mountPoint);
    const std::string imagePath = canonicalIn(image.string(), table);
    const std::string mp = canonicalIn(mountPoint.string(), table);
    if (mountPointSet(table).count(mp))
        throw VaultError::hdiutil("attach", "another volume is already mounted at " + mp);
    // fusermount3 refuses a mount point its user cannot write; the locked
    // folder is read-only, so give the owner write access back (only when the
    // folder is ours: another user's folder is not ours to change).
    // Every way out but a mount gives the folder its mode back: a locked
    // folder left writable collects files that block the next unlock.
    struct RestoreMode {
        std::string path;
        mode_t mode = 0;
        bool armed = false;
        ~RestoreMode() {
            if (armed) ::chmod(path.c_str(), mode);
        }
    } restoreMode{mp};
    struct stat st {};
    if (::stat(mp.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        !(st.st_mode & S_IWUSR) && ::chmod(mp.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0) {
        restoreMode.mode = st.st_mode & 07777;
        restoreMode.armed = true;
    }

    // -nonempty: the locked folder may hold the folder-look files. Never
    // -nosyslog: the daemon would then keep our pipes open until unmount.
    std::vector<std::string> args = {"-q", "-nonempty"};
    const auto modeOptions = options_.mountOptions.value_or(mountOptionsFor(mode));
    args.insert(args.end(), modeOptions.begin(), modeOptions.end());
    // The control socket answers name questions (sync conflict copies).
    if (const auto sock = prepareControlSocket(imagePath)) {
        args.push_back("-ctlsock");
        args.push_back(*sock);
    }
    for (auto& a : std::initializer_list<std::string>{"-fsname", fsnameFor(imagePath), "--", imagePath, mp})
        args.push_back(a);
    ExecResult r;
    {
        SecretInput input{&password};
        r = Exec::runSync(options_.gocryptfs, args, input.get(), options_.attachTimeout);
    }
    wipe(r);
    if (r.status == 0) {
        restoreMode.armed = false; // the volume's root is what the user sees now
        return;
    }
    if (r.status == 12) throw VaultError::wrongPassword();
    const std::string message = cleanToolText(r.stderrText + r.stdoutText());
    // A mount that came up half-way (the time limit ended gocryptfs after its
    // daemon mounted) must not stay behind. Only then: when gocryptfs ends by
    // itself with an error, its daemon mounted nothing, and a mount of the
    // image found now is another process's that won a race to unlock the
    // same vault; tearing it down would cut off that process's open files.
    if (r.status > 128) {
        for (const auto& e : mountsOf(image, MountTable::read())) {
            try {
                detach(e.mountPoint, true);
            } catch (...) {
            }
        }
    }
    throw VaultError::hdiutil("attach", message);
}

void GocryptfsDiskImage::detach(const std::string& device, bool force) {
    {
        const auto table = MountTable::read();
        if (force)
            stopConflictWatcher(canonicalIn(device, table), table);
        else
            stopConflictWatcherQuickly(canonicalIn(device, table), table);
    }
    if (!force) {
        ExecResult r =
            Exec::runSync(options_.fusermount, {"-u", "--", device}, std::nullopt, options_.detachTimeout);
        if (r.status == 0) return;
        if (mentionsBusy(r.stderrText)) {
            // Perhaps a watcher whose claim lies where the quick look did
            // not go holds a folder open for a moment: end it and try again.
            const auto table = MountTable::read();
            stopConflictWatcher(canonicalIn(device, table), table);
            r = Exec::runSync(options_.fusermount, {"-u", "--", device}, std::nullopt, options_.detachTimeout);
            if (r.status == 0) return;
        }
        if (mentionsBusy(r.stderrText)) throw VaultError::busy({});
        throw VaultError::hdiutil("detach", cleanToolText(r.stderrText));
    }

    // Forced: cut the mount's FUSE connection, so that open files and working
    // directories inside get ENOTCONN instead of decrypted data (a lazy
    // unmount alone would leave them working). Where the FUSE control file
    // system is mounted, the connection is aborted by its number; the daemon
    // that serves it is ended as well wherever it can be found (its exit
    // closes the connection too). When neither is possible while some process
    // may still be serving the mount, the lock is refused, never reported.
    const auto table = MountTable::read();
    const std::string mp = canonicalIn(device, table);
    const auto scan = DaemonScan::take(options_.daemonByConnection, options_.daemonByArguments);
    std::vector<std::pair<pid_t, std::string>> daemons; // pid, start time
    bool aborted = false;
    bool unaccounted = false;
    for (const auto& e : table) {
        if (e.mountPoint != mp || e.fsType.rfind("fuse", 0) != 0) continue;
        const bool cut = abortConnection(options_.fuseControlDir, e);
        aborted = aborted || cut;
        const auto serving = scan.serving(e);
        for (const pid_t p : serving) {
            const auto st = procState(p);
            if (st.alive) daemons.emplace_back(p, st.startTime);
        }
        if (!cut && serving.empty() && scan.mayServe(e)) unaccounted = true;
    }
    if (unaccounted && !aborted && daemons.empty())
        throw VaultError::hdiutil("detach", "The volume at " + mp +
                                                " could not be forced closed: neither the FUSE control file "
                                                "system nor the process serving it could be found.");
    const auto stillThere = [&](const std::pair<pid_t, std::string>& d) {
        const auto st = procState(d.first);
        return st.alive && st.startTime == d.second;
    };
    const auto waitGone = [&](double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (std::any_of(daemons.begin(), daemons.end(), stillThere) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    for (const auto& d : daemons) {
        ::kill(d.first, SIGTERM);
        ::kill(d.first, SIGCONT); // a stopped daemon only sees SIGTERM once it runs
    }
    waitGone(options_.daemonExitWait);
    for (const auto& d : daemons)
        if (stillThere(d)) ::kill(d.first, SIGKILL);
    waitGone(options_.daemonExitWait);

    // The daemon unmounts on SIGTERM; a killed or foreign one leaves the entry.
    const auto mounted = [&] {
        const auto now = MountTable::read();
        return std::any_of(now.begin(), now.end(), [&](const MountEntry& e) { return e.mountPoint == mp; });
    };
    if (!mounted()) return;
    const ExecResult r =
        Exec::runSync(options_.fusermount, {"-u", "-z", "--", mp}, std::nullopt, options_.detachTimeout);
    if (!mounted()) return;
    std::string message = cleanToolText(r.stderrText);
    if (message.empty()) message = "the volume is still mounted at " + mp;
    throw VaultError::hdiutil("detach", message);
}

bool GocryptfsDiskImage::checkPassword(const std::filesystem::path& image, const std::string& password) {
    checkPasswordShape(password, "verify");
    const std::string conf = (image / "gocryptfs.conf").string();
    ExecResult r;
    {
        SecretInput input{&password};
        r = Exec::runSync(options_.xray, {"-dumpmasterkey", conf}, input.get(),
                          options_.checkPasswordTimeout);
    }
    wipe(r); // on success, standard output is the master key
    if (r.status == 0) return true;
    if (r.status == 8) return false;
    throw VaultError::hdiutil("verify", cleanToolText(r.stderrText));
}

void GocryptfsDiskImage::changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                                        const std::string& newPassword) {
    checkPasswordShape(oldPassword, "chpass");
    checkPasswordShape(newPassword, "chpass");
    std::vector<std::string> args = {"-passwd", "-q"};
    if (options_.scryptN != 0) {
        args.push_back("-scryptn");
        args.push_back(std::to_string(options_.scryptN));
    }
    args.push_back("--");
    args.push_back(image.string());
    setAsideUnfinishedConfig(image);
    ExecResult r;
    {
        SecretInput input{&oldPassword, &newPassword};
        r = Exec::runSync(options_.gocryptfs, args, input.get(), options_.changePasswordTimeout);
    }
    wipe(r);
    if (r.status == 0) {
        // The new config was renamed into place; only a flush of the folder
        // makes that rename survive a power cut, before the caller drops
        // the old password's sealed copy.
        flushToDisk(image / "gocryptfs.conf", "chpass");
        flushToDisk(image, "chpass");
        return;
    }
    if (r.status == 12) throw VaultError::wrongPassword();
    std::string message = cleanToolText(r.stderrText);
    if (r.status == 24) {
        const std::string why =
            "a leftover gocryptfs.conf.tmp in the image folder blocks the password change";
        message = message.empty() ? why : why + ": " + message;
    }
    throw VaultError::hdiutil("chpass", message);
}

std::optional<DiskImage::Attachment> GocryptfsDiskImage::attachment(const std::filesystem::path& image) {
    const auto mounts = mountsOf(image, MountTable::read());
    if (mounts.empty()) return std::nullopt;
    Attachment a;
    for (const auto& e : mounts)
        a.mountPoints.push_back(e.mountPoint);
    a.detachTarget = a.mountPoints.front();
    return a;
}

std::vector<std::string> GocryptfsDiskImage::busyProcesses(const std::filesystem::path& mountPoint) {
    const std::string mp = canonical(mountPoint.string());
    std::vector<std::string> names;
    const auto add = [&](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    };
    const auto linkBelow = [&](const std::string& link) {
        const auto target = readLink(link);
        return target && isBelow(*target, mp);
    };
    for (const auto& pid : numericEntries("/proc")) {
        const std::string base = "/proc/" + pid;
        bool holds = linkBelow(base + "/cwd") || linkBelow(base + "/root");
        if (!holds) {
            for (const auto& fd : numericEntries(base + "/fd")) {
                if (linkBelow(base + "/fd/" + fd)) {
                    holds = true;
                    break;
                }
            }
        }
        if (!holds) {
            // Mapped files: the path is the sixth field of /proc/PID/maps.
            if (const auto maps = readSmallFile(base + "/maps")) {
                std::size_t pos = 0;
                while (!holds && pos < maps->size()) {
                    auto end = maps->find('\n', pos);
                    if (end == std::string::npos) end = maps->size();
                    const std::string_view line = std::string_view(*maps).substr(pos, end - pos);
                    pos = end + 1;
                    const auto slash = line.find('/');
                    if (slash != std::string_view::npos && isBelow(line.substr(slash), mp)) holds = true;
                }
            }
        }
        if (holds) add(processName(pid));
    }
    return names;
}

bool GocryptfsDiskImage::isMountPoint(const std::filesystem::path& path) {
    const auto table = MountTable::read();
    const auto mps = mountPointSet(table);
    const auto real = resolveNoTouch(path.string(), mps);
    return real && mps.count(*real) > 0;
}

std::vector<bool> GocryptfsDiskImage::areMountPoints(const std::vector<std::filesystem::path>& paths) {
    std::vector<bool> answers(paths.size(), false);
    if (paths.empty()) return answers;
    const auto table = MountTable::read();
    const auto mps = mountPointSet(table);
    LstatMemo memo;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const auto real = resolveNoTouch(paths[i].string(), mps, false, &memo);
        answers[i] = real && mps.count(*real) > 0;
    }
    return answers;
}

std::vector<DiskImage::MountState> GocryptfsDiskImage::mountStates(const std::vector<std::filesystem::path>& paths) {
    std::vector<MountState> states(paths.size(), MountState::notMounted);
    if (paths.empty()) return states;
    const auto table = MountTable::read();
    const auto mps = mountPointSet(table);
    LstatMemo memo;
    // Each path's mount point and the mount in sight there (the last one at
    // the path), for the gocryptfs mounts among them.
    std::vector<std::optional<std::string>> reals(paths.size());
    std::vector<const MountEntry*> tops(paths.size(), nullptr);
    std::set<std::string> toProbe;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        reals[i] = resolveNoTouch(paths[i].string(), mps, false, &memo);
        if (!reals[i] || !mps.count(*reals[i])) continue;
        states[i] = MountState::mounted;
        for (const auto& e : table)
            if (e.mountPoint == *reals[i]) tops[i] = &e;
        if (tops[i] && tops[i]->fsType == fsType) toProbe.insert(*reals[i]);
    }
    // one question to each mount point, all at once
    const auto probes = probeMounts(toProbe, options_.mountProbeTimeout);
    std::optional<DaemonScan> daemons; // one pass over /proc, when the kernel did not tell
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const MountEntry* top = tops[i];
        if (states[i] != MountState::mounted || !top || top->fsType != fsType) continue;
        const auto probed = probes.find(*reals[i]);
        const MountProbe probe = probed != probes.end() ? probed->second : MountProbe::unknown;
        if (probe == MountProbe::answered) continue;
        if (probe == MountProbe::disconnected) {
            states[i] = MountState::stale;
            continue;
        }
        if (!daemons) daemons = DaemonScan::take();
        // A daemon whose descriptors this user cannot see (another user's)
        // may be the one: only call the mount stale when none can be.
        if (!daemons->serves(*top) && !daemons->mayServe(*top)) states[i] = MountState::stale;
    }
    return states;
}

std::string GocryptfsDiskImage::canonical(const std::string& path) {
    return canonicalIn(path, MountTable::read());
}

std::shared_ptr<DiskImage> DiskImage::makePlatformDriver() { return std::make_shared<GocryptfsDiskImage>(); }

} // namespace vaultkit
