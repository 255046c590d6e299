#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

typedef struct DBusConnection DBusConnection;

namespace vaultkit {

// A caller of the quick-unlock key service (KeyServiceProtocol): one private
// connection to the bus at `busAddress`, kept for the object's life, so that
// a token from authorize() is used by the connection it was given to. The
// service is started by the bus on the first call. Safe to use from several
// threads.
class KeyServiceClient {
public:
    // The bus or the service cannot be reached, or the service answered with
    // an error (its D-Bus name in name()).
    class Error : public std::runtime_error {
    public:
        Error(std::string name, const std::string& message)
            : std::runtime_error(message)
            , name_(std::move(name)) {}
        const std::string& name() const { return name_; }

    private:
        std::string name_;
    };

    using Bytes = std::vector<std::uint8_t>;

    explicit KeyServiceClient(const std::string& busAddress);
    ~KeyServiceClient();
    KeyServiceClient(const KeyServiceClient&) = delete;
    KeyServiceClient& operator=(const KeyServiceClient&) = delete;

    bool isAvailable();
    // handle, public key
    std::pair<Bytes, Bytes> createKey();
    // The service's polkit check of this connection for `agreements` key
    // agreements with the key `handle`, the prompt naming `vaultName`;
    // waits up to `promptTimeout` for the user (the service withdraws the
    // check then).
    Bytes authorize(const Bytes& handle, const std::string& vaultName, std::uint32_t agreements,
                    std::chrono::milliseconds promptTimeout);
    Bytes agree(const Bytes& token, const Bytes& handle, const Bytes& point);
    // The key stops working for good.
    void revoke(const Bytes& handle);

    // One argument of a call: bytes, a string or a number.
    struct Arg {
        enum class Kind { bytes, text, number } kind;
        const Bytes* bytes = nullptr;
        const std::string* text = nullptr;
        std::uint32_t number = 0;
    };

private:
    // Byte arrays of the call and of the reply are wiped once read.
    std::vector<Bytes> call(const char* method, const std::vector<Arg>& args, int timeoutMs, int replyArrays);

    std::mutex mutex_;
    DBusConnection* conn_ = nullptr;
};

} // namespace vaultkit
