#include "cli/SecretReader.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace cli {

namespace {

// The terminal's settings while echo is off, restored on a signal too.
volatile sig_atomic_t gTtyFd = -1;
struct termios gSaved;

void restoreTerminal(int sig) {
    if (gTtyFd >= 0) ::tcsetattr(gTtyFd, TCSAFLUSH, &gSaved);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads bytes up to a line feed (dropped) or the end of input. Returns false
// when the input ended before any byte.
bool readLine(int fd, Secret& out, bool& tooLong) {
    bool any = false;
    tooLong = false;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return any;
        any = true;
        if (c == '\n') return true;
        if (!out.push(c)) tooLong = true;
    }
}

} // namespace

Secret SecretReader::read(const std::string& prompt) {
    return fromStdin_ ? readStdinLine() : readTerminal(prompt);
}

Secret SecretReader::readStdinLine() {
    Secret s;
    bool tooLong = false;
    if (!readLine(STDIN_FILENO, s, tooLong)) throw Error("standard input ended before the password");
    if (tooLong) throw Error("the password on standard input is too long");
    return s;
}

Secret SecretReader::readTerminal(const std::string& prompt) {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw Error("no terminal to ask for the password; use --password-stdin");
    struct termios saved;
    if (::tcgetattr(fd, &saved) != 0) {
        ::close(fd);
        throw Error("no terminal to ask for the password; use --password-stdin");
    }
    gSaved = saved;
    gTtyFd = fd;
    struct sigaction sa {
    }, oldInt{}, oldTerm{}, oldHup{};
    sa.sa_handler = restoreTerminal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &oldInt);
    ::sigaction(SIGTERM, &sa, &oldTerm);
    ::sigaction(SIGHUP, &sa, &oldHup);

    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    writeAll(fd, prompt);
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
    Secret s;
    bool tooLong = false;
    bool got = readLine(fd, s, tooLong);
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    gTtyFd = -1;
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::sigaction(SIGHUP, &oldHup, nullptr);
    ::close(fd);
    if (!got) throw Error("no password was typed");
    if (tooLong) throw Error("the password is too long");
    return s;
}

} // namespace cli
