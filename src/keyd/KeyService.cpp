#include "keyd/KeyService.h"

#include "keyd/KeyServiceSecret.h"
#include "vaultkit/crypto/CryptoKeys.h"
#include "vaultkit/quickunlock/KeyServiceKeys.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"

#include <dbus/dbus.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <list>
#include <map>
#include <optional>
#include <sys/stat.h>

namespace vaultkit {

namespace {

using Clock = std::chrono::steady_clock;
using Protocol = KeyServiceProtocol;

constexpr const char* kPolkitCancelled = "org.freedesktop.PolicyKit1.Error.Cancelled";
// Open polkit checks: per user (one prompt at a time is normal; the oldest
// gives way to a new one) and in all.
constexpr int kChecksPerUser = 4;
constexpr int kChecksInAll = 64;
// Live tokens per user; the oldest goes first.
constexpr std::size_t kTokensPerUser = 8;
// Requests of one user waiting to be served (queued, or waiting for the
// authority's list of actions); more are refused at once.
constexpr std::size_t kWorkPerUser = 8;
// Key creation per user: a burst of this many, then one per interval.
constexpr double kKeyBurst = 8;
constexpr auto kKeyInterval = std::chrono::seconds(10);
// Keys one user may hold in all.
constexpr std::size_t kKeysPerUser = 256;
// How long the authority's list of actions may take.
constexpr auto kLookupTime = std::chrono::seconds(10);
// The polkit agent shows these details with the prompt; the message names
// them ($(...)), translated in the action's own domain.
constexpr const char* kGettextDomain = "hushcoffer";
constexpr const char* kPromptMessage =
    "Hushcoffer wants to unlock the vault \u201c$(vault)\u201d for $(program). "
    "Confirm that it is you.";

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// An answer to a call that failed for a reason the service names.
struct Refusal {
    const char* name;
    std::string text;
};

// Overwrites the stack below the caller: the TPM stack leaves shared
// secrets and the like in its stack frames.
[[gnu::noinline]] void wipeStack() {
    volatile unsigned char area[64 * 1024];
    OPENSSL_cleanse(const_cast<unsigned char*>(area), sizeof area);
}

// The program behind process `pid`: its executable, as root reads it.
std::string programOf(std::uint32_t pid) {
    if (pid == 0) return "an unknown program";
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (ec || exe.empty()) return "an unknown program";
    std::string text = exe.string();
    // Shown in the prompt: no control characters.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return text;
}

} // namespace

struct KeyService::Impl {
    // Who a connection is, as the bus says.
    struct Caller {
        std::uint32_t uid = 0;
        std::string program;
    };
    struct Token {
        std::array<std::uint8_t, Protocol::tokenSize> value{};
        std::string owner; // the caller's unique bus name
        std::uint32_t uid = 0;
        std::string key; // the identity of the one key it covers
        std::uint32_t usesLeft = 0;
        Clock::time_point until;
        ~Token() { OPENSSL_cleanse(value.data(), value.size()); }
    };
    // A request waiting for its turn.
    struct Work {
        Message call;
        std::string sender;
        Caller caller;
        Protocol::Request request;
        Work() = default;
        Work(Work&&) = default;
        Work& operator=(Work&&) = default;
        ~Work() {
            OPENSSL_cleanse(request.token.data(), request.token.size());
            if (call && request.method == Protocol::Method::agree) Protocol::wipeByteArrays(call.get());
        }
    };
    // A polkit check under way for an Authorize call.
    struct Check {
        Impl* impl = nullptr;
        Message call; // the caller's Authorize, to answer
        std::string caller;
        std::uint32_t uid = 0;
        std::string program;
        std::string key;
        std::uint32_t agreements = 0;
        std::string cancellationId;
        Clock::time_point deadline;
        DBusPendingCall* pending = nullptr;
        bool done = false;
    };
    // The authority's list of actions, asked for the requests that need it.
    struct Lookup {
        DBusPendingCall* pending = nullptr;
        Clock::time_point deadline;
        std::vector<Work> waiters;
    };
    struct KeyAllowance {
        double left = kKeyBurst;
        Clock::time_point at = Clock::now();
    };

    Options options;
    TpmDevice tpm;
    KeyServiceSecret secret;
    KeyServiceKeys keys;
    DBusConnection* conn = nullptr;
    std::list<Token> tokens;
    std::list<Check> checks;
    std::map<std::string, Caller> callers;
    std::map<std::uint32_t, std::deque<Work>> queued;
    std::optional<Lookup> lookup;
    std::map<std::uint32_t, KeyAllowance> keyAllowance;
    Clock::time_point lastActivity = Clock::now();
    unsigned long counter = 0;
    bool disconnected = false;

    explicit Impl(Options o)
        : options(std::move(o))
        , tpm(options.tpmTransport)
        , secret(options.stateDir)
        , keys(options.stateDir) {}

    ~Impl() {
        for (auto& c : checks)
            if (c.pending) {
                dbus_pending_call_cancel(c.pending);
                dbus_pending_call_unref(c.pending);
            }
        if (lookup && lookup->pending) {
            dbus_pending_call_cancel(lookup->pending);
            dbus_pending_call_unref(lookup->pending);
        }
        lookup.reset();
        queued.clear();
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
    // A reply of byte arrays; with `secret`, its bytes are wiped once it is
    // written out.
    void replyBytes(DBusMessage* call, const std::vector<std::vector<std::uint8_t>>& values,
                    bool wipe = false) {
        DBusMessage* reply = dbus_message_new_method_return(call);
        if (!reply) return;
        DBusMessageIter args;
        dbus_message_iter_init_append(reply, &args);
        for (const auto& v : values) {
            DBusMessageIter array;
            const unsigned char* data = v.data();
            if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array) ||
                !dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data,
                                                      static_cast<int>(v.size())) ||
                !dbus_message_iter_close_container(&args, &array)) {
                KeyServiceProtocol::wipeByteArrays(reply);
                dbus_message_unref(reply);
                return;
            }
        }
        dbus_connection_send(conn, reply, nullptr);
        if (wipe) {
            dbus_connection_flush(conn);
            KeyServiceProtocol::wipeByteArrays(reply);
        }
        dbus_message_unref(reply);
    }

    // ---------------------------------------------------------------- callers

    // Who the connection `name` is: its uid and program, as the bus says
    // (asked once per connection; unique names are never reused).
    std::optional<Caller> callerOf(const std::string& name) {
        if (const auto it = callers.find(name); it != callers.end()) return it->second;
        Message ask(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                 "GetConnectionCredentials"));
        const char* n = name.c_str();
        if (!ask || !dbus_message_append_args(ask.get(), DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID))
            return std::nullopt;
        DBusError err;
        dbus_error_init(&err);
        Message reply(dbus_connection_send_with_reply_and_block(conn, ask.get(), 5000, &err));
        dbus_error_free(&err);
        if (!reply) return std::nullopt;
        DBusMessageIter args, dict;
        if (!dbus_message_iter_init(reply.get(), &args) ||
            dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY)
            return std::nullopt;
        std::optional<std::uint32_t> uid, pid;
        dbus_message_iter_recurse(&args, &dict);
        while (dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter entry, variant;
            dbus_message_iter_recurse(&dict, &entry);
            const char* key = nullptr;
            if (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_STRING) {
                dbus_message_iter_get_basic(&entry, &key);
                dbus_message_iter_next(&entry);
                if (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_VARIANT) {
                    dbus_message_iter_recurse(&entry, &variant);
                    if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_UINT32) {
                        dbus_uint32_t value = 0;
                        dbus_message_iter_get_basic(&variant, &value);
                        if (std::string(key) == "UnixUserID") uid = value;
                        if (std::string(key) == "ProcessID") pid = value;
                    }
                }
            }
            dbus_message_iter_next(&dict);
        }
        if (!uid || *uid == 0xffffffffU) return std::nullopt;
        Caller caller{*uid, programOf(pid.value_or(0))};
        callers[name] = caller;
        return caller;
    }

    std::size_t outstanding(std::uint32_t uid) const {
        std::size_t n = 0;
        if (const auto it = queued.find(uid); it != queued.end()) n += it->second.size();
        if (lookup)
            n += static_cast<std::size_t>(std::count_if(lookup->waiters.begin(), lookup->waiters.end(),
                                                        [&](const Work& w) { return w.caller.uid == uid; }));
        return n;
    }

    // ---------------------------------------------------------------- requests

    // A request as it arrives: refused at once when it is malformed or its
    // user has too much waiting, else queued for its turn.
    void arrive(DBusMessage* call) {
        lastActivity = Clock::now();
        Work work;
        try {
            work.request = Protocol::decode(call);
        } catch (const Protocol::BadRequest& e) {
            refuse(call, e.errorName().c_str(), e.what());
            KeyServiceProtocol::wipeByteArrays(call);
            return;
        }
        work.call.reset(dbus_message_ref(call));
        const char* sender = dbus_message_get_sender(call);
        if (!sender) {
            refuse(call, Protocol::errorFailed, "the caller has no bus name");
            return;
        }
        work.sender = sender;
        const auto caller = callerOf(work.sender);
        if (!caller) {
            refuse(call, Protocol::errorFailed, "cannot tell who the caller is");
            return;
        }
        work.caller = *caller;
        if (outstanding(caller->uid) >= kWorkPerUser) {
            refuse(call, Protocol::errorLimitsExceeded, "too many requests of this user are waiting");
            return;
        }
        queued[caller->uid].push_back(std::move(work));
    }

    // Serves one waiting request of each user in turn, so that no user's
    // requests hold up another's.
    void serveRound() {
        std::vector<std::uint32_t> users;
        for (const auto& [uid, list] : queued)
            if (!list.empty()) users.push_back(uid);
        for (const auto uid : users) {
            auto& list = queued[uid];
            if (list.empty()) continue;
            {
                Work work = std::move(list.front());
                list.pop_front();
                serve(work);
            }
            wipeStack();
        }
        std::erase_if(queued, [](const auto& entry) { return entry.second.empty(); });
    }

    bool hasWork() const {
        return std::any_of(queued.begin(), queued.end(), [](const auto& e) { return !e.second.empty(); });
    }

    void serve(Work& work) {
        DBusMessage* call = work.call.get();
        try {
            switch (work.request.method) {
            case Protocol::Method::isAvailable:
                if (!tpm.answers()) {
                    replyBool(call, false);
                    return;
                }
                needAction(std::move(work));
                return;
            case Protocol::Method::createKey:
                takeKeyAllowance(work.caller.uid);
                needAction(std::move(work));
                return;
            case Protocol::Method::authorize:
                authorize(work);
                return;
            case Protocol::Method::agree:
                agree(work);
                return;
            case Protocol::Method::revoke:
                revoke(work);
                return;
            }
        } catch (const Refusal& r) {
            refuse(call, r.name, r.text);
        } catch (const std::exception& e) {
            refuse(call, Protocol::errorFailed, e.what());
        }
    }

    void replyBool(DBusMessage* call, bool value) {
        DBusMessage* reply = dbus_message_new_method_return(call);
        dbus_bool_t v = value ? TRUE : FALSE;
        if (reply) dbus_message_append_args(reply, DBUS_TYPE_BOOLEAN, &v, DBUS_TYPE_INVALID);
        send(reply);
    }

    void takeKeyAllowance(std::uint32_t uid) {
        auto& a = keyAllowance[uid];
        const auto now = Clock::now();
        a.left = std::min(kKeyBurst, a.left + std::chrono::duration<double>(now - a.at) /
                                                  std::chrono::duration<double>(kKeyInterval));
        a.at = now;
        if (a.left < 1)
            throw Refusal{Protocol::errorLimitsExceeded, "too many keys made lately; try again shortly"};
        a.left -= 1;
    }

    // ---------------------------------------------------------------- the list of actions

    // IsAvailable and CreateKey need to know that the unlock action is
    // installed: the authority is asked without waiting for it, once for all
    // the requests that need it meanwhile.
    void needAction(Work&& work) {
        if (!lookup) {
            Message question(PolkitAuthority::newActionList());
            DBusPendingCall* pending = nullptr;
            if (!question ||
                !dbus_connection_send_with_reply(conn, question.get(), &pending, DBUS_TIMEOUT_INFINITE) ||
                !pending) {
                actionKnown(work, std::nullopt, "cannot ask the authorization service");
                return;
            }
            // Built whole: clang cannot default-construct a nested struct with
            // member initializers inside its enclosing class.
            lookup = Lookup{pending, Clock::now() + kLookupTime, {}};
            dbus_pending_call_set_notify(pending, &Impl::actionsListed, this, nullptr);
        }
        lookup->waiters.push_back(std::move(work));
    }

    static void actionsListed(DBusPendingCall* pending, void* data) {
        auto* self = static_cast<Impl*>(data);
        Message reply(dbus_pending_call_steal_reply(pending));
        self->endLookup(reply.get());
    }

    void endLookup(DBusMessage* reply) {
        if (!lookup) return;
        Lookup done = std::move(*lookup);
        lookup.reset();
        std::optional<bool> installed;
        std::string why = "the authorization service did not answer";
        if (reply) {
            try {
                installed = PolkitAuthority::listsAction(reply, Protocol::actionId);
            } catch (const PolkitAuthority::Error& e) {
                why = e.what();
            }
        }
        if (done.pending) dbus_pending_call_unref(done.pending);
        for (auto& w : done.waiters)
            actionKnown(w, installed, why);
    }

    void actionKnown(Work& work, std::optional<bool> installed, const std::string& why) {
        DBusMessage* call = work.call.get();
        if (work.request.method == Protocol::Method::isAvailable) {
            replyBool(call, installed.value_or(false));
            return;
        }
        try {
            if (!installed) throw Refusal{Protocol::errorFailed, why};
            // A key made without the action could never be used.
            if (!*installed)
                throw Refusal{Protocol::errorNotInstalled,
                              "the system's authorization action for Hushcoffer is not installed"};
            createKey(call, work.caller.uid);
        } catch (const Refusal& r) {
            refuse(call, r.name, r.text);
        } catch (const std::exception& e) {
            refuse(call, Protocol::errorFailed, e.what());
        }
    }

    void createKey(DBusMessage* call, std::uint32_t uid) {
        if (keys.countOf(uid) >= kKeysPerUser)
            throw Refusal{Protocol::errorLimitsExceeded, "this user holds too many keys"};
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
        keys.record(KeyServiceKeys::identityOf(key.handle), uid);
        replyBytes(call, {Protocol::encodeHandle(uid, key.handle),
                          std::vector<std::uint8_t>(key.publicKey.x963.begin(), key.publicKey.x963.end())});
    }

    // The identity of a handle the caller may use: its own, and recorded.
    std::string usableKey(const std::vector<std::uint8_t>& bytes, std::uint32_t uid) {
        const auto handle = Protocol::decodeHandle(bytes);
        if (!handle) throw Refusal{Protocol::errorInvalidated, "not a key of this service"};
        if (handle->uid != uid) throw Refusal{Protocol::errorOtherUser, "the key belongs to another user"};
        std::string identity = KeyServiceKeys::identityOf(handle->tpmBlobs);
        if (!keys.holds(identity, uid))
            throw Refusal{Protocol::errorInvalidated, "the key was revoked or was not made by this service"};
        return identity;
    }

    // ---------------------------------------------------------------- the check

    void authorize(Work& work) {
        const Caller& caller = work.caller;
        const std::string key = usableKey(work.request.handle, caller.uid);
        // A program's new request replaces its older one; a user's oldest
        // request gives way when the user has too many open. Another program
        // of the user never keeps this one out.
        for (auto& c : checks)
            if (!c.done && c.uid == caller.uid && c.program == caller.program) {
                withdraw(c);
                refuse(c.call.get(), Protocol::errorCancelled,
                       "replaced by a newer request of the same program");
            }
        std::vector<Check*> ofUser;
        for (auto& c : checks)
            if (!c.done && c.uid == caller.uid) ofUser.push_back(&c);
        if (ofUser.size() >= static_cast<std::size_t>(kChecksPerUser)) {
            Check& oldest = *ofUser.front();
            withdraw(oldest);
            refuse(oldest.call.get(), Protocol::errorCancelled, "replaced by a newer request of this user");
        }
        const auto inAll =
            std::count_if(checks.begin(), checks.end(), [](const Check& c) { return !c.done; });
        if (inAll >= kChecksInAll)
            throw Refusal{Protocol::errorLimitsExceeded, "too many confirmations are waiting"};

        Check& check = checks.emplace_back();
        check.impl = this;
        check.call.reset(dbus_message_ref(work.call.get()));
        check.caller = work.sender;
        check.uid = caller.uid;
        check.program = caller.program;
        check.key = key;
        check.agreements = work.request.agreements;
        check.cancellationId = "hushcoffer-keyd-" + std::to_string(++counter);
        check.deadline = Clock::now() + std::chrono::milliseconds(work.request.promptTimeoutMs);
        const PolkitAuthority::Details details{{"vault", work.request.vaultName},
                                               {"program", caller.program},
                                               {"polkit.message", kPromptMessage},
                                               {"polkit.gettext_domain", kGettextDomain}};
        Message question(
            PolkitAuthority::newCheck(Protocol::actionId, check.caller, check.cancellationId, details));
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
                       std::string("the authorization check failed: ") + (text   ? text
                                                                          : name ? name
                                                                                 : "no reason"));
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
            refuse(call, Protocol::errorNoAgent,
                   "no authentication agent is running to confirm that it is you");
            return;
        case PolkitAuthority::Answer::notAuthorized:
            break;
        }
        refuse(call, Protocol::errorNotAuthorized, "the system did not confirm that it is you");
    }

    void grant(const Check& check) {
        Token fresh;
        if (RAND_bytes(fresh.value.data(), static_cast<int>(fresh.value.size())) != 1) {
            refuse(check.call.get(), Protocol::errorFailed, "no random numbers");
            return;
        }
        // The user's oldest token gives way.
        std::vector<std::list<Token>::iterator> ofUser;
        for (auto it = tokens.begin(); it != tokens.end(); ++it)
            if (it->uid == check.uid) ofUser.push_back(it);
        if (ofUser.size() >= kTokensPerUser)
            tokens.erase(*std::min_element(ofUser.begin(), ofUser.end(),
                                           [](const auto& a, const auto& b) { return a->until < b->until; }));
        Token& token = tokens.emplace_back();
        token.value = fresh.value;
        token.owner = check.caller;
        token.uid = check.uid;
        token.key = check.key;
        token.usesLeft = check.agreements;
        token.until = Clock::now() + options.tokenLifetime;
        // Built in place: a braced list would leave copies behind.
        std::vector<std::vector<std::uint8_t>> values(1);
        values[0].assign(token.value.begin(), token.value.end());
        replyBytes(check.call.get(), values, true);
        OPENSSL_cleanse(values[0].data(), values[0].size());
    }

    // ---------------------------------------------------------------- agreement

    void agree(Work& work) {
        expireTokens();
        const auto& request = work.request;
        const auto found = std::find_if(tokens.begin(), tokens.end(), [&](const Token& t) {
            return request.token.size() == t.value.size() &&
                   CRYPTO_memcmp(request.token.data(), t.value.data(), t.value.size()) == 0;
        });
        if (found == tokens.end() || found->owner != work.sender || found->uid != work.caller.uid)
            throw Refusal{Protocol::errorNoToken, "no confirmation of this caller is in force"};
        const auto handle = Protocol::decodeHandle(request.handle);
        if (!handle) throw Refusal{Protocol::errorInvalidated, "not a key of this service"};
        if (handle->uid != work.caller.uid)
            throw Refusal{Protocol::errorOtherUser, "the key belongs to another user"};
        if (KeyServiceKeys::identityOf(handle->tpmBlobs) != found->key)
            throw Refusal{Protocol::errorNoToken, "the confirmation was given for another key"};
        // One use less; the last one ends the token.
        if (--found->usesLeft == 0) tokens.erase(found);
        const std::string key = usableKey(request.handle, work.caller.uid);
        std::optional<TpmDevice::Auth> auth = secret.authFor(work.caller.uid, false);
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
        op.reset();
        std::vector<std::vector<std::uint8_t>> values(1);
        values[0].swap(shared);
        replyBytes(work.call.get(), values, true);
        OPENSSL_cleanse(values[0].data(), values[0].size());
    }

    void revoke(Work& work) {
        const auto handle = Protocol::decodeHandle(work.request.handle);
        if (!handle) throw Refusal{Protocol::errorInvalidated, "not a key of this service"};
        if (handle->uid != work.caller.uid)
            throw Refusal{Protocol::errorOtherUser, "the key belongs to another user"};
        const std::string identity = KeyServiceKeys::identityOf(handle->tpmBlobs);
        // Revoking a key that is gone already is no failure.
        keys.revoke(identity, work.caller.uid);
        tokens.remove_if([&](const Token& t) { return t.key == identity && t.uid == work.caller.uid; });
        send(dbus_message_new_method_return(work.call.get()));
    }

    // ---------------------------------------------------------------- time

    void expireTokens() {
        const auto now = Clock::now();
        tokens.remove_if([&](const Token& t) { return t.until <= now; });
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
        if (lookup && lookup->deadline <= now) {
            dbus_pending_call_cancel(lookup->pending);
            endLookup(nullptr);
        }
        expireTokens();
        auto wait = std::chrono::milliseconds(1000);
        for (const auto& c : checks)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now) +
                                      std::chrono::milliseconds(1));
        if (lookup)
            wait =
                std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(lookup->deadline - now) +
                                   std::chrono::milliseconds(1));
        if (hasWork()) return 0;
        return static_cast<int>(std::max<long long>(wait.count(), 1));
    }

    bool idle() const {
        return options.idleExit.count() > 0 && checks.empty() && tokens.empty() && !lookup && !hasWork() &&
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
        self->arrive(message);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    // A caller's connection closed: its tokens go, and its open checks are
    // withdrawn, so that the agent's dialog does not outlive the program
    // that asked; what it still had queued is dropped.
    void callerGone(const std::string& name) {
        tokens.remove_if([&](const Token& t) { return t.owner == name; });
        for (auto& c : checks)
            if (!c.done && c.caller == name) withdraw(c);
        for (auto& [uid, list] : queued)
            std::erase_if(list, [&](const Work& w) { return w.sender == name; });
        callers.erase(name);
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
        // One request of each user, then what came in meanwhile.
        s.serveRound();
        wait = s.tend();
        if (s.idle()) break;
    }
    if (s.disconnected) return 0;
    // Idle: give the name back, then answer what came in meanwhile (a caller
    // after that starts a new service).
    dbus_bus_release_name(s.conn, Protocol::busName, nullptr);
    while (dbus_connection_get_dispatch_status(s.conn) == DBUS_DISPATCH_DATA_REMAINS)
        dbus_connection_dispatch(s.conn);
    while ((!s.checks.empty() || s.lookup || s.hasWork()) && !s.disconnected &&
           dbus_connection_read_write_dispatch(s.conn, s.tend())) {
        while (dbus_connection_get_dispatch_status(s.conn) == DBUS_DISPATCH_DATA_REMAINS)
            dbus_connection_dispatch(s.conn);
        s.serveRound();
    }
    dbus_connection_flush(s.conn);
    return 0;
}

} // namespace vaultkit
