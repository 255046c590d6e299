#include "app/desktop/TerminationSignals.h"

#include "kxcore/Log.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};
constexpr std::array<int, 3> handled{SIGTERM, SIGINT, SIGHUP};

extern "C" void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent) {
    if (pipeFds[0] >= 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        kxcore::Log::shared().error("termination signals: cannot make the pipe");
        return;
    }
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : handled)
        ::sigaction(s, &action, nullptr);
    installed_ = true;
}

TerminationSignals::~TerminationSignals() {
    if (!installed_) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : handled)
        ::sigaction(s, &action, nullptr);
    delete notifier_;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void TerminationSignals::readPipe() {
    unsigned char byte = 0;
    while (::read(pipeFds[0], &byte, 1) == 1)
        emit terminationRequested(byte);
}
