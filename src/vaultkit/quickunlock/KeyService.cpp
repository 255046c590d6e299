#include "vaultkit/quickunlock/KeyService.h"

#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"
#include "vaultkit/quickunlock/KeyServiceSecret.h"

#include <dbus/dbus.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>
#include <sys/stat.h>

namespace vaultkit {

namespace {

using Clock = std::chrono::steady_clock;
using Protocol = KeyServiceProtocol;

constexpr const char* kPolkitCancelled = "org.freedesktop.PolicyKit1.Error.Cancelled";
// Open polkit checks: per user (one prompt at a time is normal) and in all.
constexpr int kChecksPerUser = 4;
constexpr int kChecksInAll = 64;
// Live tokens per user; the oldest goes first.
constexpr std::size_t kTokensPerUser = 8;

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// An answer to a call that failed for a reason the service names.
struct Refusal {
    const char* name;
    std::string text;
};

} // namespace

struct KeyService::Impl {
    struct Token {
        std::string owner; // the caller's unique bus name
        std::uint32_t uid = 0;
        Clock::time_point until;
    };
    // A polkit check under way for an Authorize call.
    struct Check {
        Impl* impl = nullptr;
        Message call; // the caller's Authorize, to answer
        std::string caller;
        std::uint32_t uid = 0;
        std::string cancellationId;
        Clock::time_point deadline;
        DBusPendingCall* pending = nullptr;
        bool done = false;
    };

    Options options;
    TpmDevice tpm;
    KeyServiceSecret secret;
    DBusConnection* conn = nullptr;
    std::map<std::string, Token> tokens;
    std::list<Check> checks;
    Clock::time_point lastActivity = Clock::now();
    unsigned long counter = 0;
    bool disconnected = false;

    explicit Impl(Options o)
        : options(std::move(o))
        , tpm(options.tpmTransport)
        , secret(options.stateDir) {}

    ~Impl() {
        for (auto& c : checks)
            if (c.pending) {
                dbus_pending_call_cancel(c.pending);
                dbus_pending_call_unref(c.pending);
            }
        if (conn) {
            dbus_connection_close(conn);
            dbus_connection_unref(conn);
        }
    }

    // ---------------------------------------------------------------- replies

    void send(DBusMessage* reply) {
        if (!reply) return;
        dbus_connection_send(conn, reply, nullptr);
        dbus_message_unref(reply);
    }
    void refuse(DBusMessage* call, const char* name, const std::string& text) {
        send(dbus_message_new_error(call, name, text.c_str()));
    }
    void replyBytes(DBusMessage* call, const std::vector<std::vector<std::uint8_t>>& values) {
        DBusMessage* reply = dbus_message_new_method_return(call);
        if (!reply) return;
        DBusMessageIter args;
        dbus_message_iter_init_append(reply, &args);
        for (const auto& v : values) {
            DBusMessageIter array;
            const unsigned char* data = v.data();
            if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array) ||
                !dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, static_cast<int>(v.size())) ||
                !dbus_message_iter_close_container(&args, &array)) {
                dbus_message_unref(reply);
                return;
            }
        }
        send(reply);
    }

    // ---------------------------------------------------------------- requests

    void handle(DBusMessage* call) {
        lastActivity = Clock::now();
        Protocol::Request request;
        try {
            request = Protocol::decode(call);
        } catch (const Protocol::BadRequest& e) {
            refuse(call, e.errorName().c_str(), e.what());
            return;
        }
        const char* sender = dbus_message_get_sender(call);
        if (!sender) {
            refuse(call, Protocol::errorFailed, "the caller has no bus name");
            return;
        }
        // Who called, as the bus knows it.
        DBusError err;
        dbus_error_init(&err);
        const unsigned long uid = dbus_bus_get_unix_user(conn, sender, &err);
        if (dbus_error_is_set(&err) || uid == static_cast<unsigned long>(-1) || uid > 0xffffffffUL) {
            dbus_error_free(&err);
            refuse(call, Protocol::errorFailed, "cannot tell who the caller is");
            return;
        }
        const auto callerUid = static_cast<std::uint32_t>(uid);
        try {
            switch (request.method) {
            case Protocol::Method::isAvailable:
                isAvailable(call);
                break;
            case Protocol::Method::createKey:
                createKey(call, callerUid);
                break;
            case Protocol::Method::authorize:
                authorize(call, sender, callerUid, request.promptTimeoutMs);
                break;
            case Protocol::Method::agree:
                agree(call, sender, callerUid, request);
                break;
            }
        } catch (const Refusal& r) {
            refuse(call, r.name, r.text);
        } catch (const std::exception& e) {
            refuse(call, Protocol::errorFailed, e.what());
        }
        OPENSSL_cleanse(request.token.data(), request.token.size());
    }

    bool actionInstalled() {
        try {
            return PolkitAuthority(options.busAddress).hasAction(Protocol::actionId);
        } catch (const PolkitAuthority::Error& e) {
            throw Refusal{Protocol::errorFailed, e.what()};
        }
    }

    void isAvailable(DBusMessage* call) {
        bool available = tpm.answers();
        if (available) {
            try {
                available = actionInstalled();
            } catch (const Refusal&) {
                available = false;
            }
        }
        DBusMessage* reply = dbus_message_new_method_return(call);
        dbus_bool_t value = available ? TRUE : FALSE;
        if (reply) dbus_message_append_args(reply, DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID);
        send(reply);
    }

    void createKey(DBusMessage* call, std::uint32_t uid) {
        // A key made without the action could never be used.
        if (!actionInstalled())
            throw Refusal{Protocol::errorNotInstalled,
                          "the system's authorization action for Hushcoffer is not installed"};
        std::optional<TpmDevice::Auth> auth = secret.authFor(uid, true);
        if (!auth) throw Refusal{Protocol::errorFailed, "no secret"};
        TpmDevice::Key key;
        try {
            key = tpm.createKey(*auth);
        } catch (...) {
            OPENSSL_cleanse(auth->data(), auth->size());
            throw;
        }
        OPENSSL_cleanse(auth->data(), auth->size());
        replyBytes(call, {Protocol::encodeHandle(uid, key.handle),
                          std::vector<std::uint8_t>(key.publicKey.x963.begin(), key.publicKey.x963.end())});
    }

    void authorize(DBusMessage* call, const char* sender, std::uint32_t uid, std::uint32_t promptTimeoutMs) {
        const auto ofUser = std::count_if(checks.begin(), checks.end(),
                                          [&](const Check& c) { return !c.done && c.uid == uid; });
        const auto inAll = std::count_if(checks.begin(), checks.end(), [](const Check& c) { return !c.done; });
        if (ofUser >= kChecksPerUser || inAll >= kChecksInAll)
            throw Refusal{Protocol::errorLimitsExceeded, "too many confirmations are waiting"};

        Check& check = checks.emplace_back();
        check.impl = this;
        check.call.reset(dbus_message_ref(call));
        check.caller = sender;
        check.uid = uid;
        check.cancellationId = "hushcoffer-keyd-" + std::to_string(++counter);
        check.deadline = Clock::now() + std::chrono::milliseconds(promptTimeoutMs);
        Message question(PolkitAuthority::newCheck(Protocol::actionId, check.caller, check.cancellationId));
        // The service keeps the time itself (the loop below).
        if (!dbus_connection_send_with_reply(conn, question.get(), &check.pending, DBUS_TIMEOUT_INFINITE) ||
            !check.pending) {
            checks.pop_back();
            throw Refusal{Protocol::errorFailed, "cannot ask the authorization service"};
        }
        dbus_pending_call_set_notify(check.pending, &Impl::checkAnswered, &check, nullptr);
    }

    static void checkAnswered(DBusPendingCall* pending, void* data) {
        auto* check = static_cast<Check*>(data);
        Message reply(dbus_pending_call_steal_reply(pending));
        check->impl->finish(*check, reply.get());
    }

    void finish(Check& check, DBusMessage* reply) {
        if (check.done) return;
        check.done = true;
        DBusMessage* call = check.call.get();
        if (!reply) {
            refuse(call, Protocol::errorFailed, "the authorization service did not answer");
            return;
        }
        if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
            const char* name = dbus_message_get_error_name(reply);
            const char* text = nullptr;
            dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
            if (name && std::string(name) == kPolkitCancelled)
                refuse(call, Protocol::errorCancelled, "the confirmation was withdrawn");
            else
                refuse(call, Protocol::errorFailed,
                       std::string("the authorization check failed: ") + (text ? text : name ? name : "no reason"));
            return;
        }
        PolkitAuthority::Answer answer;
        try {
            answer = PolkitAuthority::answerOf(reply);
        } catch (const PolkitAuthority::Error& e) {
            refuse(call, Protocol::errorFailed, e.what());
            return;
        }
        switch (answer) {
        case PolkitAuthority::Answer::authorized:
            grant(check);
            return;
        case PolkitAuthority::Answer::dismissed:
            refuse(call, Protocol::errorDismissed, "the confirmation was dismissed");
            return;
        case PolkitAuthority::Answer::noAgent:
            refuse(call, Protocol::errorNoAgent, "no authentication agent is running to confirm that it is you");
            return;
        case PolkitAuthority::Answer::notAuthorized:
            break;
        }
        refuse(call, Protocol::errorNotAuthorized, "the system did not confirm that it is you");
    }

    void grant(const Check& check) {
        std::string token(Protocol::tokenSize, '\0');
        if (RAND_bytes(reinterpret_cast<unsigned char*>(token.data()), static_cast<int>(token.size())) != 1) {
            refuse(check.call.get(), Protocol::errorFailed, "no random numbers");
            return;
        }
        // The user's oldest token gives way.
        std::vector<std::map<std::string, Token>::iterator> ofUser;
        for (auto it = tokens.begin(); it != tokens.end(); ++it)
            if (it->second.uid == check.uid) ofUser.push_back(it);
        if (ofUser.size() >= kTokensPerUser)
            tokens.erase(*std::min_element(ofUser.begin(), ofUser.end(), [](const auto& a, const auto& b) {
                return a->second.until < b->second.until;
            }));
        tokens[token] = Token{check.caller, check.uid, Clock::now() + options.tokenLifetime};
        replyBytes(check.call.get(), {std::vector<std::uint8_t>(token.begin(), token.end())});
        OPENSSL_cleanse(token.data(), token.size());
    }

    void agree(DBusMessage* call, const char* sender, std::uint32_t uid, const Protocol::Request& request) {
        expireTokens();
        const auto found = tokens.find(std::string(request.token.begin(), request.token.end()));
        if (found == tokens.end() || found->second.owner != sender || found->second.uid != uid)
            throw Refusal{Protocol::errorNoToken, "no confirmation of this caller is in force"};
        const auto handle = Protocol::decodeHandle(request.handle);
        if (!handle) throw Refusal{Protocol::errorInvalidated, "not a key of this service"};
        if (handle->uid != uid) throw Refusal{Protocol::errorOtherUser, "the key belongs to another user"};
        std::optional<TpmDevice::Auth> auth = secret.authFor(uid, false);
        if (!auth) throw Refusal{Protocol::errorInvalidated, "the service's secret is gone"};
        std::optional<Sealing::Agree> op;
        try {
            op = tpm.loadKey(handle->tpmBlobs, *auth);
        } catch (...) {
            OPENSSL_cleanse(auth->data(), auth->size());
            throw;
        }
        OPENSSL_cleanse(auth->data(), auth->size());
        if (!op) throw Refusal{Protocol::errorInvalidated, "the TPM cannot load the key"};
        std::vector<std::uint8_t> shared;
        try {
            shared = (*op)(request.point);
        } catch (const TpmDevice::WrongAuth&) {
            throw Refusal{Protocol::errorInvalidated, "the TPM refused the key's authorisation"};
        } catch (const CryptoError& e) {
            throw Refusal{Protocol::errorPointRefused, e.what()};
        }
        replyBytes(call, {shared});
        OPENSSL_cleanse(shared.data(), shared.size());
    }

    // ---------------------------------------------------------------- time

    void expireTokens() {
        const auto now = Clock::now();
        std::erase_if(tokens, [&](const auto& entry) { return entry.second.until <= now; });
    }

    // Withdraws the checks past their time and forgets the finished ones;
    // returns how long the loop may sleep.
    int tend() {
        const auto now = Clock::now();
        for (auto& c : checks) {
            if (c.done || c.deadline > now) continue;
            withdraw(c);
            refuse(c.call.get(), Protocol::errorTimedOut, "no answer in time");
        }
        for (auto it = checks.begin(); it != checks.end();) {
            if (it->done) {
                dbus_pending_call_unref(it->pending);
                it = checks.erase(it);
            } else {
                ++it;
            }
        }
        expireTokens();
        auto wait = std::chrono::milliseconds(1000);
        for (const auto& c : checks)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now) +
                                      std::chrono::milliseconds(1));
        return static_cast<int>(std::max<long long>(wait.count(), 1));
    }

    bool idle() const {
        return options.idleExit.count() > 0 && checks.empty() && tokens.empty() &&
               Clock::now() - lastActivity >= options.idleExit;
    }

    static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
            self->disconnected = true;
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
            const char* sender = dbus_message_get_sender(message);
            const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
            if (sender && std::string(sender) == DBUS_SERVICE_DBUS &&
                dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &oldOwner,
                                      DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID) &&
                name[0] == ':' && newOwner[0] == '\0')
                self->callerGone(name);
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        }
        if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL)
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        self->handle(message);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    // A caller's connection closed: its tokens go, and its open checks are
    // withdrawn, so that the agent's dialog does not outlive the program
    // that asked.
    void callerGone(const std::string& name) {
        std::erase_if(tokens, [&](const auto& entry) { return entry.second.owner == name; });
        for (auto& c : checks)
            if (!c.done && c.caller == name) withdraw(c);
    }

    void withdraw(Check& c) {
        dbus_pending_call_cancel(c.pending);
        Message cancel(PolkitAuthority::newCancel(c.cancellationId));
        dbus_message_set_no_reply(cancel.get(), TRUE);
        dbus_connection_send(conn, cancel.get(), nullptr);
        c.done = true;
    }
};

KeyService::KeyService(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

KeyService::~KeyService() = default;

int KeyService::run() {
    Impl& s = *impl_;
    ::umask(077);
    DBusError err;
    dbus_error_init(&err);
    s.conn = dbus_connection_open_private(s.options.busAddress.c_str(), &err);
    if (!s.conn || !dbus_bus_register(s.conn, &err)) {
        std::fprintf(stderr, "hushcoffer-keyd: cannot reach the bus: %s\n", err.message ? err.message : "");
        dbus_error_free(&err);
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(s.conn, FALSE);
    const int owner = dbus_bus_request_name(s.conn, Protocol::busName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &err);
    if (owner != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "hushcoffer-keyd: cannot take the name %s: %s\n", Protocol::busName,
                     err.message ? err.message : "taken");
        dbus_error_free(&err);
        return 1;
    }
    dbus_connection_add_filter(s.conn, &Impl::filter, &s, nullptr);
    // Callers that go away (their tokens and open checks go with them).
    dbus_bus_add_match(s.conn,
                       "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                       "member='NameOwnerChanged',arg2=''",
                       &err);
    if (dbus_error_is_set(&err)) {
        std::fprintf(stderr, "hushcoffer-keyd: cannot follow callers: %s\n", err.message ? err.message : "");
        dbus_error_free(&err);
        return 1;
    }

    int wait = 1000;
    while (!s.disconnected && dbus_connection_read_write_dispatch(s.conn, wait)) {
        while (dbus_connection_get_dispatch_status(s.conn) == DBUS_DISPATCH_DATA_REMAINS)
            dbus_connection_dispatch(s.conn);
        wait = s.tend();
        if (s.idle()) break;
    }
    if (s.disconnected) return 0;
    // Idle: give the name back, then answer what came in meanwhile (a caller
    // after that starts a new service).
    dbus_bus_release_name(s.conn, Protocol::busName, nullptr);
    while (dbus_connection_get_dispatch_status(s.conn) == DBUS_DISPATCH_DATA_REMAINS)
        dbus_connection_dispatch(s.conn);
    while (!s.checks.empty() && !s.disconnected && dbus_connection_read_write_dispatch(s.conn, s.tend())) {
    }
    dbus_connection_flush(s.conn);
    return 0;
}

} // namespace vaultkit
