#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vaultkit {

// A client of the control socket a gocryptfs mount opens (-ctlsock): it asks
// the running daemon to encrypt or decrypt a path relative to the root of the
// volume, with the daemon's own key and name rules. One connection per
// question; JSON in, one JSON line out:
//   {"EncryptPath":"dir/file.txt"}  ->  {"Result":"CIPHER/NAME","ErrNo":0,...}
//   {"DecryptPath":"CIPHER/NAME"}   ->  {"Result":"dir/file.txt","ErrNo":0,...}
// A name the daemon cannot translate comes back with a non-zero ErrNo.
class GocryptfsControlSocket {
public:
    // The socket cannot be reached or answered nonsense.
    struct Unreachable : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    explicit GocryptfsControlSocket(std::filesystem::path socket, double timeoutSeconds = 10);

    const std::filesystem::path& path() const { return socket_; }

    // The encrypted path of a plain path; none (with the daemon's reason in
    // `why`) when it has none, e.g. a name over the length limit.
    std::optional<std::string> encryptPath(std::string_view plainPath, std::string* why = nullptr) const;
    // The plain path of an encrypted path; none when it does not decrypt.
    std::optional<std::string> decryptPath(std::string_view cipherPath, std::string* why = nullptr) const;

private:
    std::optional<std::string> ask(const char* verb, std::string_view path, std::string* why) const;

    std::filesystem::path socket_;
    double timeout_;
};

} // namespace vaultkit
