#include "vaultkit/diskimage/GocryptfsControlSocket.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vaultkit {

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

GocryptfsControlSocket::GocryptfsControlSocket(std::filesystem::path socket, double timeoutSeconds)
    : socket_(std::move(socket)), timeout_(timeoutSeconds) {}

std::optional<std::string> GocryptfsControlSocket::encryptPath(std::string_view plainPath, std::string* why) const {
    return ask("EncryptPath", plainPath, why);
}

std::optional<std::string> GocryptfsControlSocket::decryptPath(std::string_view cipherPath,
                                                               std::string* why) const {
    return ask("DecryptPath", cipherPath, why);
}

std::optional<std::string> GocryptfsControlSocket::ask(const char* verb, std::string_view path,
                                                       std::string* why) const {
    const std::string where = socket_.string();
    sockaddr_un addr {};
    if (where.size() >= sizeof addr.sun_path) throw Unreachable("control socket path too long: " + where);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, where.c_str(), where.size() + 1);

    Fd s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) throw Unreachable(std::string("socket: ") + std::strerror(errno));
    timeval tv {};
    tv.tv_sec = static_cast<time_t>(timeout_);
    tv.tv_usec = static_cast<suseconds_t>((timeout_ - static_cast<double>(tv.tv_sec)) * 1e6);
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw Unreachable("cannot reach " + where + ": " + std::strerror(errno));

    // Names are bytes; JSON wants UTF-8. Invalid UTF-8 cannot be asked.
    std::string request;
    try {
        request = nlohmann::json{{verb, std::string(path)}}.dump();
    } catch (const nlohmann::json::exception&) {
        if (why) *why = "the name is not valid UTF-8";
        return std::nullopt;
    }
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Unreachable("cannot write to " + where + ": " + std::strerror(errno));
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    char buf[4096];
    while (reply.find('\n') == std::string::npos) {
        const ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Unreachable("no answer from " + where + ": " + std::strerror(errno));
        }
        if (n == 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
        if (reply.size() > (1u << 20)) throw Unreachable("answer from " + where + " too long");
    }
    nlohmann::json answer;
    try {
        answer = nlohmann::json::parse(reply.substr(0, reply.find('\n')));
        const int err = answer.value("ErrNo", 0);
        if (err != 0) {
            if (why) *why = answer.value("ErrText", std::string("error ") + std::to_string(err));
            return std::nullopt;
        }
        return answer.at("Result").get<std::string>();
    } catch (const nlohmann::json::exception& e) {
        throw Unreachable("unreadable answer from " + where + ": " + e.what());
    }
}

} // namespace vaultkit
