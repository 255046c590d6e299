#include "support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vaulttest {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                           bool captureStdout) {
    if (argv.empty()) throw std::invalid_argument("no program");
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    for (const auto& e : extraEnv)
        envStrings.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStrings)
        env.push_back(e.data());
    env.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (captureStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int out = captureStdout ? pipeFds[1] : ::open("/dev/null", O_WRONLY);
        ::dup2(out, STDOUT_FILENO);
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, STDIN_FILENO);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    if (captureStdout) {
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
    }
}

ChildProcess::~ChildProcess() {
    stop();
}

std::optional<std::string> ChildProcess::readLine(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        if (out_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[512];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            continue;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void ChildProcess::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
}

} // namespace vaulttest
