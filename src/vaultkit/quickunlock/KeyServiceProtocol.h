#pragma once

#include "vaultkit/crypto/CryptoKeys.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct DBusMessage;

namespace vaultkit {

// What the quick-unlock key service (hushcoffer-keyd, on the system bus) and
// its clients say to each other: names, limits, the decoding of requests and
// the service's key handles.
//
// Methods of `interfaceName` at `objectPath`:
//   IsAvailable() -> b               a TPM answers and the unlock action is
//                                    installed; never prompts
//   CreateKey() -> (ay handle, ay publicKey)
//                                    a key for the calling user; no prompt
//   Authorize(ay handle, s vaultName, u agreements, u promptTimeoutMs) -> ay token
//                                    polkit checks the caller's bus name (the
//                                    prompt names the vault and the asking
//                                    program); the token lets this connection
//                                    run `agreements` key agreements with this
//                                    one handle for a short while
//   Agree(ay token, ay handle, ay point) -> ay secret
//                                    the key agreement of the caller's key with
//                                    an X9.63 P-256 point (32 bytes back)
//   Revoke(ay handle) -> ()          the key stops working for good (quick
//                                    unlock turned off, password or phrase
//                                    changed); no prompt, the caller's own
//                                    keys only
// Failures are D-Bus errors named below.
class KeyServiceProtocol {
public:
    KeyServiceProtocol() = delete;

    // Where the service is reached: the system bus socket itself, so that no
    // environment variable can send a client or the service elsewhere.
    static constexpr const char* systemBusAddress = "unix:path=/run/dbus/system_bus_socket";
    static constexpr const char* busName = "app.hushcoffer.KeyService1";
    static constexpr const char* objectPath = "/app/hushcoffer/KeyService1";
    static constexpr const char* interfaceName = "app.hushcoffer.KeyService1";

    // The prompt was dismissed, withdrawn, refused, or no agent could show it.
    static constexpr const char* errorDismissed = "app.hushcoffer.KeyService1.Error.Dismissed";
    static constexpr const char* errorTimedOut = "app.hushcoffer.KeyService1.Error.TimedOut";
    static constexpr const char* errorCancelled = "app.hushcoffer.KeyService1.Error.Cancelled";
    static constexpr const char* errorNotAuthorized = "app.hushcoffer.KeyService1.Error.NotAuthorized";
    static constexpr const char* errorNoAgent = "app.hushcoffer.KeyService1.Error.NoAgent";
    // Agree without a live token of this caller.
    static constexpr const char* errorNoToken = "app.hushcoffer.KeyService1.Error.NoToken";
    // The unlock action is not installed.
    static constexpr const char* errorNotInstalled = "app.hushcoffer.KeyService1.Error.NotInstalled";
    // The handle cannot be used here (another TPM, a cleared TPM, the
    // service's secret gone, damaged, not a key of this service).
    static constexpr const char* errorInvalidated = "app.hushcoffer.KeyService1.Error.Invalidated";
    // The handle was made for another user.
    static constexpr const char* errorOtherUser = "app.hushcoffer.KeyService1.Error.OtherUser";
    // The TPM refused the peer point.
    static constexpr const char* errorPointRefused = "app.hushcoffer.KeyService1.Error.PointRefused";
    static constexpr const char* errorLimitsExceeded = "app.hushcoffer.KeyService1.Error.LimitsExceeded";
    static constexpr const char* errorFailed = "app.hushcoffer.KeyService1.Error.Failed";

    // The polkit action every Authorize checks.
    static constexpr const char* actionId = "app.hushcoffer.Hushcoffer.unlock";

    static constexpr std::size_t tokenSize = 16;
    static constexpr std::size_t maxHandleSize = 1024;
    static constexpr std::size_t pointSize = 65;
    static constexpr std::uint32_t minPromptTimeoutMs = 1000;
    static constexpr std::uint32_t maxPromptTimeoutMs = 5 * 60 * 1000;
    // The vault's name as the prompt shows it, in bytes of UTF-8.
    static constexpr std::size_t maxVaultNameSize = 255;
    // Key agreements one unlock may need: one per sealed copy of the
    // password (two while a password change is unconfirmed).
    static constexpr std::uint32_t maxAgreements = 4;

    // Overwrites, in place, the bytes of every byte array among the message's
    // arguments: both ends wipe a message that carried a secret (a token, a
    // point, a shared secret) before they let it go.
    static void wipeByteArrays(DBusMessage* message);

    enum class Method { isAvailable, createKey, authorize, agree, revoke };

    struct Request {
        Method method = Method::isAvailable;
        std::uint32_t promptTimeoutMs = 0; // authorize, within the bounds above
        std::string vaultName;             // authorize, 1..maxVaultNameSize bytes, no control characters
        std::uint32_t agreements = 0;      // authorize, 1..maxAgreements
        std::vector<std::uint8_t> token;   // agree
        std::vector<std::uint8_t> handle;  // authorize, agree, revoke: 1..maxHandleSize bytes
        P256PublicKey point;               // agree, a point on the curve
    };

    // A request the service does not take; `errorName` is the D-Bus error to
    // answer with.
    class BadRequest : public std::runtime_error {
    public:
        BadRequest(std::string errorName, const std::string& text)
            : std::runtime_error(text)
            , errorName_(std::move(errorName)) {}
        const std::string& errorName() const { return errorName_; }

    private:
        std::string errorName_;
    };

    // Decodes a method call to the service: its path, interface, member and
    // exact signature, and the bounds of every argument. Throws BadRequest.
    static Request decode(DBusMessage* call);

    // A handle of the service: "HCK1", the uid it was made for (4 bytes,
    // big-endian), then the TPM's blobs (TpmKeyPolicy).
    struct Handle {
        std::uint32_t uid = 0;
        std::vector<std::uint8_t> tpmBlobs;
    };
    static std::vector<std::uint8_t> encodeHandle(std::uint32_t uid,
                                                  const std::vector<std::uint8_t>& tpmBlobs);
    // Nothing for bytes that are not such a handle.
    static std::optional<Handle> decodeHandle(const std::vector<std::uint8_t>& handle);
};

} // namespace vaultkit
