#include "vaultkit/quickunlock/KeyServiceProtocol.h"

#include "vaultkit/crypto/CryptoSupport.h"

#include "vaultkit/quickunlock/LibdbusApi.h"
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace vaultkit {

namespace {

// Only called once the library is in use: every message and connection
// handed to these helpers came from it.
const LibdbusApi& dbus() {
    return LibdbusApi::get();
}

constexpr std::uint8_t kMagic[4] = {'H', 'C', 'K', '1'};

[[noreturn]] void invalid(const std::string& text) {
    throw KeyServiceProtocol::BadRequest(DBUS_ERROR_INVALID_ARGS, text);
}

// A byte array argument of at most `max` bytes; moves the iterator on.
std::vector<std::uint8_t> readBytes(DBusMessageIter* args, std::size_t max, const char* what) {
    if (dbus().dbus_message_iter_get_arg_type(args) != DBUS_TYPE_ARRAY ||
        dbus().dbus_message_iter_get_element_type(args) != DBUS_TYPE_BYTE)
        invalid(std::string(what) + " is not a byte array");
    DBusMessageIter items;
    dbus().dbus_message_iter_recurse(args, &items);
    const unsigned char* data = nullptr;
    int n = 0;
    dbus().dbus_message_iter_get_fixed_array(&items, &data, &n);
    if (n < 0 || static_cast<std::size_t>(n) > max) invalid(std::string(what) + " is too long");
    dbus().dbus_message_iter_next(args);
    return std::vector<std::uint8_t>(data, data + n);
}

} // namespace

KeyServiceProtocol::Request KeyServiceProtocol::decode(DBusMessage* call) {
    if (!call || dbus().dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        throw BadRequest(DBUS_ERROR_FAILED, "not a method call");
    const char* path = dbus().dbus_message_get_path(call);
    if (!path || std::strcmp(path, objectPath) != 0)
        throw BadRequest(DBUS_ERROR_UNKNOWN_OBJECT, std::string("no object at ") + (path ? path : "(none)"));
    const char* iface = dbus().dbus_message_get_interface(call);
    if (!iface || std::strcmp(iface, interfaceName) != 0)
        throw BadRequest(DBUS_ERROR_UNKNOWN_INTERFACE,
                         std::string("unknown interface ") + (iface ? iface : "(none)"));
    const char* member = dbus().dbus_message_get_member(call);
    const char* signature = dbus().dbus_message_get_signature(call);
    const std::string name = member ? member : "";
    const std::string sig = signature ? signature : "";

    struct Known {
        const char* member;
        const char* signature;
        Method method;
    };
    static const Known known[] = {{"IsAvailable", "", Method::isAvailable},
                                  {"CreateKey", "", Method::createKey},
                                  {"Authorize", "aysuu", Method::authorize},
                                  {"Agree", "ayayay", Method::agree},
                                  {"Revoke", "ay", Method::revoke}};
    const auto it =
        std::find_if(std::begin(known), std::end(known), [&](const Known& k) { return name == k.member; });
    if (it == std::end(known)) throw BadRequest(DBUS_ERROR_UNKNOWN_METHOD, "unknown method " + name);
    if (sig != it->signature) invalid(name + " takes (" + it->signature + "), not (" + sig + ")");

    Request request;
    request.method = it->method;
    DBusMessageIter args;
    dbus().dbus_message_iter_init(call, &args);
    switch (request.method) {
    case Method::isAvailable:
    case Method::createKey:
        break;
    case Method::authorize: {
        request.handle = readBytes(&args, maxHandleSize, "the handle");
        if (request.handle.empty()) invalid("the handle is empty");
        const char* vaultName = nullptr;
        dbus().dbus_message_iter_get_basic(&args, &vaultName);
        dbus().dbus_message_iter_next(&args);
        request.vaultName = vaultName ? vaultName : "";
        if (request.vaultName.empty() || request.vaultName.size() > maxVaultNameSize)
            invalid("the vault's name is empty or too long");
        // The name goes into the system's prompt: no line breaks, escapes
        // or other control characters (the bus has checked the UTF-8).
        if (std::any_of(request.vaultName.begin(), request.vaultName.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
            invalid("the vault's name holds control characters");
        dbus_uint32_t agreements = 0;
        dbus().dbus_message_iter_get_basic(&args, &agreements);
        dbus().dbus_message_iter_next(&args);
        if (agreements < 1 || agreements > maxAgreements)
            invalid("the number of key agreements is out of bounds");
        request.agreements = agreements;
        dbus_uint32_t ms = 0;
        dbus().dbus_message_iter_get_basic(&args, &ms);
        request.promptTimeoutMs = std::clamp<std::uint32_t>(ms, minPromptTimeoutMs, maxPromptTimeoutMs);
        break;
    }
    case Method::revoke:
        request.handle = readBytes(&args, maxHandleSize, "the handle");
        if (request.handle.empty()) invalid("the handle is empty");
        break;
    case Method::agree: {
        request.token = readBytes(&args, tokenSize, "the token");
        if (request.token.size() != tokenSize) invalid("the token has the wrong size");
        request.handle = readBytes(&args, maxHandleSize, "the handle");
        if (request.handle.empty()) invalid("the handle is empty");
        const auto point = readBytes(&args, pointSize, "the point");
        try {
            crypto::p256Public(point);
        } catch (const std::exception&) {
            invalid("the point is not a P-256 public key");
        }
        if (point.size() != pointSize) invalid("the point is not in uncompressed form");
        std::copy(point.begin(), point.end(), request.point.x963.begin());
        break;
    }
    }
    return request;
}

std::vector<std::uint8_t> KeyServiceProtocol::encodeHandle(std::uint32_t uid,
                                                           const std::vector<std::uint8_t>& tpmBlobs) {
    std::vector<std::uint8_t> out(std::begin(kMagic), std::end(kMagic));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(uid >> shift));
    out.insert(out.end(), tpmBlobs.begin(), tpmBlobs.end());
    return out;
}

std::optional<KeyServiceProtocol::Handle>
KeyServiceProtocol::decodeHandle(const std::vector<std::uint8_t>& handle) {
    constexpr std::size_t header = sizeof kMagic + 4;
    if (handle.size() <= header || handle.size() > maxHandleSize ||
        !std::equal(std::begin(kMagic), std::end(kMagic), handle.begin()))
        return std::nullopt;
    Handle out;
    for (std::size_t i = 0; i < 4; ++i)
        out.uid = out.uid << 8 | handle[sizeof kMagic + i];
    out.tpmBlobs.assign(handle.begin() + static_cast<std::ptrdiff_t>(header), handle.end());
    return out;
}

void KeyServiceProtocol::wipeByteArrays(DBusMessage* message) {
    DBusMessageIter args;
    if (!message || !dbus().dbus_message_iter_init(message, &args)) return;
    do {
        if (dbus().dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY ||
            dbus().dbus_message_iter_get_element_type(&args) != DBUS_TYPE_BYTE)
            continue;
        DBusMessageIter items;
        dbus().dbus_message_iter_recurse(&args, &items);
        const unsigned char* data = nullptr;
        int n = 0;
        dbus().dbus_message_iter_get_fixed_array(&items, &data, &n);
        if (data && n > 0) OPENSSL_cleanse(const_cast<unsigned char*>(data), static_cast<std::size_t>(n));
    } while (dbus().dbus_message_iter_next(&args));
}

} // namespace vaultkit
