// Fuzzes the key service's reading of requests: arbitrary bytes as a D-Bus
// message in wire format (what reaches the service from any local user),
// decoded as the service decodes a method call, and the same bytes as a key
// handle.
//
// Decoding may only give a request or throw BadRequest. A request it gives
// is within the service's bounds: an Agree has a token of the exact size, a
// handle of 1 to 1024 bytes and a point on the curve; an Authorize has a
// handle, a vault name the prompt can show, a number of agreements and a
// prompt time within the limits; a Revoke has a handle. A handle that decodes encodes back to the
// same bytes.
#include "vaultkit/crypto/CryptoSupport.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

using vaultkit::KeyServiceProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DBusError err;
    dbus_error_init(&err);
    DBusMessage* message =
        dbus_message_demarshal(reinterpret_cast<const char*>(data), static_cast<int>(size), &err);
    dbus_error_free(&err);
    if (message) {
        try {
            const auto request = KeyServiceProtocol::decode(message);
            switch (request.method) {
            case KeyServiceProtocol::Method::agree:
                if (request.token.size() != KeyServiceProtocol::tokenSize || request.handle.empty() ||
                    request.handle.size() > KeyServiceProtocol::maxHandleSize)
                    std::abort();
                vaultkit::crypto::p256Public(request.point.x963); // throws for a point off the curve
                break;
            case KeyServiceProtocol::Method::authorize:
                if (request.promptTimeoutMs < KeyServiceProtocol::minPromptTimeoutMs ||
                    request.promptTimeoutMs > KeyServiceProtocol::maxPromptTimeoutMs ||
                    request.handle.empty() || request.handle.size() > KeyServiceProtocol::maxHandleSize ||
                    request.agreements < 1 || request.agreements > KeyServiceProtocol::maxAgreements ||
                    request.vaultName.empty() ||
                    request.vaultName.size() > KeyServiceProtocol::maxVaultNameSize)
                    std::abort();
                for (const char c : request.vaultName)
                    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) std::abort();
                break;
            case KeyServiceProtocol::Method::revoke:
                if (request.handle.empty() || request.handle.size() > KeyServiceProtocol::maxHandleSize)
                    std::abort();
                break;
            case KeyServiceProtocol::Method::isAvailable:
            case KeyServiceProtocol::Method::createKey:
                break;
            }
        } catch (const KeyServiceProtocol::BadRequest& e) {
            if (e.errorName().empty()) std::abort();
        }
        dbus_message_unref(message);
    }

    const std::vector<std::uint8_t> bytes(data, data + size);
    if (const auto handle = KeyServiceProtocol::decodeHandle(bytes)) {
        if (KeyServiceProtocol::encodeHandle(handle->uid, handle->tpmBlobs) != bytes) std::abort();
    }
    return 0;
}
