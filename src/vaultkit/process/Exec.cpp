#include "vaultkit/process/Exec.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vaultkit {

std::string ExecResult::stdoutText() const {
    return Exec::repairUtf8(stdoutBytes.data(), stdoutBytes.size());
}

namespace Exec {

namespace {

using Clock = std::chrono::steady_clock;

// Closes a descriptor once, on demand or when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_); // a failure to close is of no consequence here
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// An output collector. The child's output may be secret (a tool can print key
// material), so the buffer never leaves an unwiped copy behind when it grows.
class Collector {
public:
    void append(const std::uint8_t* data, std::size_t size) {
        if (bytes_.size() + size > bytes_.capacity()) {
            Bytes bigger;
            bigger.reserve(std::max<std::size_t>(bytes_.capacity() * 2, bytes_.size() + size) + 4096);
            bigger.assign(bytes_.begin(), bytes_.end());
            if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
            bytes_.swap(bigger);
        }
        bytes_.insert(bytes_.end(), data, data + size);
    }
    Bytes& bytes() { return bytes_; }

private:
    Bytes bytes_;
};

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// SIGPIPE is blocked on this thread while the runner writes to the child, so
// a child that exits without reading its input yields EPIPE instead of killing
// the process. The process-wide disposition is left alone; a SIGPIPE raised by
// our own writes is consumed before the old mask comes back.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;
    ~SigpipeBlock() {
        if (!wasPending_) {
            sigset_t pending;
            sigemptyset(&pending);
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
                const timespec zero{0, 0};
                while (sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }

private:
    sigset_t pipeSet_;
    sigset_t oldMask_;
    bool wasPending_ = false;
};

// posix_spawn attributes and file actions, released in every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    bool attrReady = false;
    bool actionsReady = false;
    SpawnSetup() = default;
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (attrReady) posix_spawnattr_destroy(&attr);
        if (actionsReady) posix_spawn_file_actions_destroy(&actions);
    }
};

ExecResult launchFailure(const std::string& tool, const std::string& why) {
    ExecResult result;
    result.status = -1;
    result.stderrText = repairUtf8("Cannot run " + tool + ": " + why);
    return result;
}

// Status as reported to callers: the exit code, or 128 + the signal number for
// a child ended by a signal (the shell's convention; SIGTERM gives 143).
std::int32_t decodeWaitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Converts the caller's time limit into a deadline; an infinite or absurdly
// large limit means none, a non-positive or NaN one means "terminate at once".
std::optional<Clock::time_point> deadlineFor(double timeoutSeconds, Clock::time_point start) {
    if (std::isnan(timeoutSeconds) || timeoutSeconds <= 0) return start;
    if (timeoutSeconds > 1e9) return std::nullopt; // more than thirty years
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
}

// Starts `tool` with exactly three descriptors: 0 (`inFd`, or /dev/null when
// it is -1), 1 and 2 (`outFd`, `errFd`). Everything else is closed, including
// any descriptor another thread opened without close-on-exec, and the child
// starts with default signal handling and an empty signal mask, whatever this
// process or thread has ignored or blocked. Gives the reason it could not.
std::optional<std::string> spawnTool(const std::string& tool, const std::vector<std::string>& args, int inFd,
                                     int outFd, int errFd, pid_t& pid) {
    SpawnSetup setup;
    if (posix_spawn_file_actions_init(&setup.actions) != 0) return "out of memory";
    setup.actionsReady = true;
    int rc = 0;
    if (inFd >= 0)
        rc = posix_spawn_file_actions_adddup2(&setup.actions, inFd, STDIN_FILENO);
    else
        rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, outFd, STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, errFd, STDERR_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    if (rc != 0) return std::strerror(rc);

    if (posix_spawnattr_init(&setup.attr) != 0) return "out of memory";
    setup.attrReady = true;
    sigset_t allSignals, noSignals;
    sigfillset(&allSignals);
    sigemptyset(&noSignals);
    posix_spawnattr_setsigdefault(&setup.attr, &allSignals);
    posix_spawnattr_setsigmask(&setup.attr, &noSignals);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    rc = ::posix_spawn(&pid, tool.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (rc != 0) return std::strerror(rc);
    return std::nullopt;
}

// The started child and, once reaped, how it ended.
struct Child {
    pid_t pid = -1;
    bool reaped = false;
    int waitStatus = 0;
    std::string waitProblem;

    void reap(int options) {
        int st = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &st, options);
        } while (r < 0 && errno == EINTR);
        if (r == pid) {
            reaped = true;
            waitStatus = st;
        } else if (r < 0) {
            // Someone else reaped the child (e.g. SIGCHLD is ignored); its status is lost.
            reaped = true;
            waitStatus = -1;
            waitProblem = std::string("exit status unavailable: ") + std::strerror(errno);
        }
    }
};

// Reads what a non-blocking stream holds now; closes it at end of file or on
// an error that ends it.
void drain(Fd& fd, Collector& into, std::uint8_t* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, size);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < size) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fd.close();
        return;
    }
}

// Writes as much of the input as the pipe takes now; closes the pipe when all
// is written or the child closed its end (the rest is then dropped).
void feed(Fd& inWrite, const std::uint8_t*& toWrite, std::size_t& leftToWrite) {
    while (leftToWrite > 0) {
        const ssize_t n = ::write(inWrite.get(), toWrite, std::min<std::size_t>(leftToWrite, 65536));
        if (n > 0) {
            toWrite += n;
            leftToWrite -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        leftToWrite = 0; // EPIPE
    }
    if (leftToWrite == 0) inWrite.close();
}

// The child's three streams, served by one poll loop until the child has
// ended and both output pipes are closed, or the time limit passed.
struct ChildStreams {
    Fd outRead, errRead, inWrite;
    Collector out, err;

    void serve(Child& child, const std::optional<Bytes>& input, std::optional<Clock::time_point> deadline) {
        // A pidfd (always close-on-exec) wakes the loop when the child ends;
        // without one (old kernels) the loop checks every 50 ms. Called
        // through syscall(): the C library's header lacks C linkage.
        Fd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));

        const std::uint8_t* toWrite = input ? input->data() : nullptr;
        std::size_t leftToWrite = input ? input->size() : 0;
        if (input && leftToWrite == 0) inWrite.close();
        // Cannot fail on a fresh pipe; if it did, giving up on the input is
        // better than blocking the collectors.
        if (inWrite.open() && !setNonBlocking(inWrite.get())) inWrite.close();
        setNonBlocking(outRead.get());
        setNonBlocking(errRead.get());

        bool terminationSent = false;
        std::uint8_t buffer[65536];
        for (;;) {
            if (!child.reaped && !pidFd.open()) child.reap(WNOHANG);
            if (child.reaped && !outRead.open() && !errRead.open()) break;

            // The time limit: one SIGTERM to a child that is still running. A
            // child that already ended but left a descendant holding our pipes
            // does not keep the call waiting past the limit.
            int pollTimeout = -1;
            if (deadline) {
                const Clock::time_point now = Clock::now();
                if (now >= *deadline) {
                    if (child.reaped) {
                        // Take what the child wrote before it ended, then stop.
                        if (outRead.open()) drain(outRead, out, buffer, sizeof buffer);
                        if (errRead.open()) drain(errRead, err, buffer, sizeof buffer);
                        break;
                    }
                    if (!terminationSent) {
                        ::kill(child.pid, SIGTERM);
                        terminationSent = true;
                    }
                } else {
                    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
                    pollTimeout = static_cast<int>(std::min<long long>(ms, 3600 * 1000));
                }
            }
            if (!child.reaped && !pidFd.open()) pollTimeout = pollTimeout < 0 ? 50 : std::min(pollTimeout, 50);

            pollfd fds[4];
            int count = 0;
            auto watch = [&](const Fd& fd, short events) {
                if (!fd.open()) return -1;
                fds[count] = {fd.get(), events, 0};
                return count++;
            };
            const int outIdx = watch(outRead, POLLIN);
            const int errIdx = watch(errRead, POLLIN);
            const int inIdx = watch(inWrite, POLLOUT);
            const int pidIdx = child.reaped ? -1 : watch(pidFd, POLLIN);

            const int ready = ::poll(fds, static_cast<nfds_t>(count), pollTimeout);
            if (ready < 0) {
                if (errno == EINTR) continue;
                // poll itself failed (should not happen): stop collecting, wait for the child.
                outRead.close();
                errRead.close();
                inWrite.close();
                pidFd.close();
                continue;
            }
            if (ready == 0) continue;

            if (outIdx >= 0 && fds[outIdx].revents) drain(outRead, out, buffer, sizeof buffer);
            if (errIdx >= 0 && fds[errIdx].revents) drain(errRead, err, buffer, sizeof buffer);
            if (inIdx >= 0 && fds[inIdx].revents) feed(inWrite, toWrite, leftToWrite);
            if (pidIdx >= 0 && fds[pidIdx].revents) {
                child.reap(WNOHANG);
                if (!child.reaped) pidFd.close(); // unexpected: fall back to periodic checks
            }
        }
        OPENSSL_cleanse(buffer, sizeof buffer);
    }
};

ExecResult runChecked(const std::string& tool, const std::vector<std::string>& args,
                      const std::optional<Bytes>& input, double timeoutSeconds) {
    const Clock::time_point start = Clock::now();
    if (tool.empty() || tool.front() != '/') return launchFailure(tool, "the tool path is not absolute");

    ChildStreams streams;
    int outPipe[2];
    int errPipe[2];
    int inPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return launchFailure(tool, std::strerror(errno));
    streams.outRead.reset(outPipe[0]);
    Fd outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return launchFailure(tool, std::strerror(errno));
    streams.errRead.reset(errPipe[0]);
    Fd errWrite(errPipe[1]);
    Fd inRead;
    if (input) {
        if (::pipe2(inPipe, O_CLOEXEC) != 0) return launchFailure(tool, std::strerror(errno));
        inRead.reset(inPipe[0]);
        streams.inWrite.reset(inPipe[1]);
    }

    Child child;
    if (auto why = spawnTool(tool, args, input ? inRead.get() : -1, outWrite.get(), errWrite.get(), child.pid))
        return launchFailure(tool, *why);
    outWrite.close();
    errWrite.close();
    inRead.close();

    try {
        SigpipeBlock sigpipeBlocked;
        streams.serve(child, input, deadlineFor(timeoutSeconds, start));
    } catch (...) {
        // Out of memory while collecting: do not leave the child behind.
        if (!child.reaped) {
            ::kill(child.pid, SIGTERM);
            child.reap(0);
        }
        throw;
    }

    ExecResult result;
    result.status = child.waitProblem.empty() ? decodeWaitStatus(child.waitStatus) : -1;
    result.stdoutBytes = std::move(streams.out.bytes());
    Bytes& err = streams.err.bytes();
    result.stderrText = repairUtf8(err.data(), err.size());
    if (!err.empty()) OPENSSL_cleanse(err.data(), err.size());
    if (!child.waitProblem.empty())
        result.stderrText += (result.stderrText.empty() ? "" : "\n") + child.waitProblem;
    return result;
}

} // namespace

ExecResult runSync(const std::string& tool, const std::vector<std::string>& args,
                   const std::optional<Bytes>& input, double timeoutSeconds) {
    try {
        return runChecked(tool, args, input, timeoutSeconds);
    } catch (const std::exception& e) {
        return launchFailure(tool, e.what());
    } catch (...) {
        return launchFailure(tool, "unknown error");
    }
}

std::future<ExecResult> run(std::string tool, std::vector<std::string> args, std::optional<Bytes> input,
                            double timeoutSeconds) {
    // The worker's copy of the input may hold passwords: it is wiped when the
    // job goes away, whichever way that happens.
    struct Job {
        std::string tool;
        std::vector<std::string> args;
        std::optional<Bytes> input;
        double timeoutSeconds = 0;
        std::promise<ExecResult> promise;
        ~Job() {
            if (input && !input->empty()) OPENSSL_cleanse(input->data(), input->size());
        }
    };
    auto job = std::make_shared<Job>();
    job->tool = std::move(tool);
    job->args = std::move(args);
    job->input = std::move(input);
    job->timeoutSeconds = timeoutSeconds;
    std::future<ExecResult> future = job->promise.get_future();
    // A detached worker rather than std::async: dropping the future must not
    // block the caller until the tool ends.
    try {
        std::thread([job] {
            job->promise.set_value(runSync(job->tool, job->args, job->input, job->timeoutSeconds));
        }).detach();
    } catch (const std::exception& e) {
        job->promise.set_value(
            launchFailure(job->tool, std::string("cannot start a worker thread: ") + e.what()));
    }
    return future;
}

std::string repairUtf8(const std::uint8_t* data, std::size_t size) {
    // Each maximal ill-formed subsequence becomes one U+FFFD (the Unicode
    // "substitution of maximal subparts" practice).
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(size);
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = data[i];
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        std::size_t need = 0;
        std::uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        std::size_t j = 1;
        for (; j <= need; ++j) {
            if (i + j >= size) break;
            const std::uint8_t b = data[i + j];
            const std::uint8_t l = j == 1 ? lo : 0x80;
            const std::uint8_t h = j == 1 ? hi : 0xBF;
            if (b < l || b > h) break;
        }
        if (j > need) {
            out.append(reinterpret_cast<const char*>(data + i), need + 1);
            i += need + 1;
        } else {
            out += replacement;
            i += j;
        }
    }
    return out;
}

} // namespace Exec

} // namespace vaultkit
