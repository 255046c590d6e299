#include "vaultkit/quickunlock/KeyServiceClient.h"

#include "vaultkit/quickunlock/KeyServiceProtocol.h"

#include "vaultkit/quickunlock/LibdbusApi.h"
#include <openssl/crypto.h>

#include <algorithm>
#include <climits>

namespace vaultkit {

namespace {

// Only called once the library is in use: every message and connection
// handed to these helpers came from it.
const LibdbusApi& dbus() {
    return LibdbusApi::get();
}

// Calls that never prompt; a first call may wait for the service to start.
constexpr int kShortTimeoutMs = 25000;
// How much longer than the prompt the answer may take to arrive.
constexpr int kPromptSlackMs = 10000;

struct BusError {
    DBusError e;
    BusError() { dbus().dbus_error_init(&e); }
    ~BusError() { dbus().dbus_error_free(&e); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    [[noreturn]] void raise(const std::string& what) const {
        throw KeyServiceClient::Error(e.name ? e.name : "", e.message ? e.message : what);
    }
};

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus().dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

void check(bool ok) {
    if (!ok) throw KeyServiceClient::Error("", "out of memory");
}

using Arg = KeyServiceClient::Arg;
Arg bytesArg(const KeyServiceClient::Bytes& b) {
    return Arg{Arg::Kind::bytes, &b, nullptr, 0};
}

} // namespace

KeyServiceClient::KeyServiceClient(const std::string& busAddress) {
    // The D-Bus library is loaded here, by the first client.
    try {
        LibdbusApi::get();
    } catch (const std::runtime_error& e) {
        throw Error("", e.what());
    }
    static const bool threads = dbus().dbus_threads_init_default();
    (void)threads;
    BusError err;
    conn_ = dbus().dbus_connection_open_private(busAddress.c_str(), &err.e);
    if (!conn_) err.raise("cannot reach the system bus");
    dbus().dbus_connection_set_exit_on_disconnect(conn_, FALSE);
    if (!dbus().dbus_bus_register(conn_, &err.e)) {
        dbus().dbus_connection_close(conn_);
        dbus().dbus_connection_unref(conn_);
        conn_ = nullptr;
        err.raise("cannot register on the system bus");
    }
}

KeyServiceClient::~KeyServiceClient() {
    if (!conn_) return;
    dbus().dbus_connection_close(conn_);
    dbus().dbus_connection_unref(conn_);
}

std::vector<KeyServiceClient::Bytes>
KeyServiceClient::call(const char* method, const std::vector<Arg>& callArgs, int timeoutMs, int replyArrays) {
    Message call(dbus().dbus_message_new_method_call(KeyServiceProtocol::busName, KeyServiceProtocol::objectPath,
                                              KeyServiceProtocol::interfaceName, method));
    check(call != nullptr);
    DBusMessageIter args;
    dbus().dbus_message_iter_init_append(call.get(), &args);
    for (const auto& arg : callArgs) {
        switch (arg.kind) {
        case Arg::Kind::number: {
            const dbus_uint32_t value = arg.number;
            check(dbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &value));
            break;
        }
        case Arg::Kind::text: {
            const char* text = arg.text->c_str();
            check(dbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &text));
            break;
        }
        case Arg::Kind::bytes: {
            DBusMessageIter array;
            const unsigned char* data = arg.bytes->data();
            check(dbus().dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array));
            check(dbus().dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data,
                                                       static_cast<int>(arg.bytes->size())));
            check(dbus().dbus_message_iter_close_container(&args, &array));
            break;
        }
        }
    }
    // The token and the shared secret do not stay behind in the messages.
    struct Wipe {
        DBusMessage* m;
        ~Wipe() { KeyServiceProtocol::wipeByteArrays(m); }
    } wipeCall{call.get()};
    BusError err;
    Message reply;
    {
        std::lock_guard lock(mutex_);
        reply.reset(dbus().dbus_connection_send_with_reply_and_block(conn_, call.get(), timeoutMs, &err.e));
    }
    if (!reply) err.raise(std::string("the key service did not answer ") + method);
    Wipe wipeReply{reply.get()};

    std::vector<Bytes> out;
    DBusMessageIter it;
    if (replyArrays > 0 && !dbus().dbus_message_iter_init(reply.get(), &it))
        throw Error("", std::string("the key service's answer to ") + method + " is malformed");
    for (int i = 0; i < replyArrays; ++i) {
        if (dbus().dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY ||
            dbus().dbus_message_iter_get_element_type(&it) != DBUS_TYPE_BYTE)
            throw Error("", std::string("the key service's answer to ") + method + " is malformed");
        DBusMessageIter items;
        dbus().dbus_message_iter_recurse(&it, &items);
        const unsigned char* data = nullptr;
        int n = 0;
        dbus().dbus_message_iter_get_fixed_array(&items, &data, &n);
        out.emplace_back(data, data + n);
        dbus().dbus_message_iter_next(&it);
    }
    if (replyArrays < 0) return out; // no answer but success
    if (replyArrays == 0) {
        // IsAvailable: one boolean.
        dbus_bool_t value = FALSE;
        if (!dbus().dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID))
            throw Error("", "the key service's answer is malformed");
        out.push_back(Bytes{static_cast<std::uint8_t>(value ? 1 : 0)});
    }
    return out;
}

bool KeyServiceClient::isAvailable() {
    return call("IsAvailable", {}, kShortTimeoutMs, 0).front().front() == 1;
}

std::pair<KeyServiceClient::Bytes, KeyServiceClient::Bytes> KeyServiceClient::createKey() {
    auto out = call("CreateKey", {}, kShortTimeoutMs, 2);
    return {std::move(out[0]), std::move(out[1])};
}

KeyServiceClient::Bytes KeyServiceClient::authorize(const Bytes& handle, const std::string& vaultName,
                                                    std::uint32_t agreements,
                                                    std::chrono::milliseconds promptTimeout) {
    const auto ms = std::clamp<long long>(promptTimeout.count(), KeyServiceProtocol::minPromptTimeoutMs,
                                          KeyServiceProtocol::maxPromptTimeoutMs);
    const std::vector<Arg> args{bytesArg(handle), Arg{Arg::Kind::text, nullptr, &vaultName, 0},
                                Arg{Arg::Kind::number, nullptr, nullptr, agreements},
                                Arg{Arg::Kind::number, nullptr, nullptr, static_cast<std::uint32_t>(ms)}};
    return std::move(call("Authorize", args, static_cast<int>(ms) + kPromptSlackMs, 1).front());
}

KeyServiceClient::Bytes KeyServiceClient::agree(const Bytes& token, const Bytes& handle, const Bytes& point) {
    return std::move(
        call("Agree", {bytesArg(token), bytesArg(handle), bytesArg(point)}, kShortTimeoutMs, 1).front());
}

void KeyServiceClient::revoke(const Bytes& handle) {
    call("Revoke", {bytesArg(handle)}, kShortTimeoutMs, -1);
}

} // namespace vaultkit
