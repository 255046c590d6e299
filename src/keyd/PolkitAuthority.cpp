#include "keyd/PolkitAuthority.h"

#include <dbus/dbus.h>

#include <memory>

namespace vaultkit {

namespace {

constexpr const char* kService = "org.freedesktop.PolicyKit1";
constexpr const char* kPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr dbus_uint32_t kAllowUserInteraction = 1;
// How long the list of actions may take.
constexpr int kShortTimeoutMs = 25000;

// A DBusError that frees itself.
struct BusError {
    DBusError e;
    BusError() { dbus_error_init(&e); }
    ~BusError() { dbus_error_free(&e); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    bool isSet() const { return dbus_error_is_set(&e); }
    [[noreturn]] void raise(const std::string& what) const {
        throw PolkitAuthority::Error(e.name ? e.name : "",
                                     what + ": " + (e.message ? e.message : "unknown error"));
    }
};

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A private, registered connection to one bus.
class Connection {
public:
    explicit Connection(const std::string& address) {
        static const bool threads = dbus_threads_init_default();
        (void)threads;
        BusError err;
        conn_ = dbus_connection_open_private(address.c_str(), &err.e);
        if (!conn_) err.raise("cannot reach the system bus");
        dbus_connection_set_exit_on_disconnect(conn_, FALSE);
        if (!dbus_bus_register(conn_, &err.e)) {
            close();
            err.raise("cannot register on the system bus");
        }
    }
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends `call` and waits up to `timeoutMs` for the reply. A D-Bus error
    // reply, or no reply at all, lands in `err`.
    Message call(DBusMessage* call, int timeoutMs, BusError& err) {
        return Message(dbus_connection_send_with_reply_and_block(conn_, call, timeoutMs, &err.e));
    }

private:
    void close() {
        if (!conn_) return;
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
    }
    DBusConnection* conn_ = nullptr;
};

Message newCall(const char* method) {
    Message m(dbus_message_new_method_call(kService, kPath, kInterface, method));
    if (!m) throw PolkitAuthority::Error("", "out of memory");
    return m;
}

void check(bool ok) {
    if (!ok) throw PolkitAuthority::Error("", "out of memory");
}

void appendString(DBusMessageIter* it, const std::string& s) {
    const char* p = s.c_str();
    check(dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &p));
}

// The subject (sa{sv}): this process's own connection to the bus, which the
// authority ties to this process without the races of a process id.
void appendSubject(DBusMessageIter* args, const std::string& busName) {
    DBusMessageIter subject, details, entry, variant;
    check(dbus_message_iter_open_container(args, DBUS_TYPE_STRUCT, nullptr, &subject));
    appendString(&subject, "system-bus-name");
    check(dbus_message_iter_open_container(&subject, DBUS_TYPE_ARRAY, "{sv}", &details));
    check(dbus_message_iter_open_container(&details, DBUS_TYPE_DICT_ENTRY, nullptr, &entry));
    appendString(&entry, "name");
    check(dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant));
    appendString(&variant, busName);
    check(dbus_message_iter_close_container(&entry, &variant));
    check(dbus_message_iter_close_container(&details, &entry));
    check(dbus_message_iter_close_container(&subject, &details));
    check(dbus_message_iter_close_container(args, &subject));
}

// Reads the (bba{ss}) result of CheckAuthorization.
PolkitAuthority::Answer readResult(DBusMessage* reply) {
    DBusMessageIter args, result, details;
    if (!dbus_message_iter_init(reply, &args) || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRUCT)
        throw PolkitAuthority::Error("", "the authority's answer is malformed");
    dbus_message_iter_recurse(&args, &result);
    dbus_bool_t authorized = FALSE, challenge = FALSE;
    if (dbus_message_iter_get_arg_type(&result) != DBUS_TYPE_BOOLEAN)
        throw PolkitAuthority::Error("", "the authority's answer is malformed");
    dbus_message_iter_get_basic(&result, &authorized);
    dbus_message_iter_next(&result);
    if (dbus_message_iter_get_arg_type(&result) != DBUS_TYPE_BOOLEAN)
        throw PolkitAuthority::Error("", "the authority's answer is malformed");
    dbus_message_iter_get_basic(&result, &challenge);
    dbus_message_iter_next(&result);
    bool dismissed = false;
    if (dbus_message_iter_get_arg_type(&result) == DBUS_TYPE_ARRAY) {
        dbus_message_iter_recurse(&result, &details);
        while (dbus_message_iter_get_arg_type(&details) == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter entry;
            dbus_message_iter_recurse(&details, &entry);
            const char* key = nullptr;
            const char* value = nullptr;
            if (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_STRING) {
                dbus_message_iter_get_basic(&entry, &key);
                dbus_message_iter_next(&entry);
                if (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_STRING)
                    dbus_message_iter_get_basic(&entry, &value);
            }
            // The agent's dialog was closed without an answer.
            if (key && value && std::string(key) == "polkit.dismissed" && std::string(value) == "true")
                dismissed = true;
            dbus_message_iter_next(&details);
        }
    }
    if (authorized) return PolkitAuthority::Answer::authorized;
    if (dismissed) return PolkitAuthority::Answer::dismissed;
    // "Authorized after a challenge" with interaction allowed means that no
    // agent took the challenge.
    if (challenge) return PolkitAuthority::Answer::noAgent;
    return PolkitAuthority::Answer::notAuthorized;
}

} // namespace

PolkitAuthority::PolkitAuthority(std::string busAddress)
    : busAddress_(std::move(busAddress)) {}

bool PolkitAuthority::hasAction(const std::string& actionId) const {
    Connection conn(busAddress_);
    Message call(newActionList());
    BusError err;
    Message reply = conn.call(call.get(), kShortTimeoutMs, err);
    if (!reply) err.raise("cannot list the authorization actions");
    return listsAction(reply.get(), actionId);
}

DBusMessage* PolkitAuthority::newActionList() {
    Message call = newCall("EnumerateActions");
    DBusMessageIter args;
    dbus_message_iter_init_append(call.get(), &args);
    appendString(&args, "");
    return call.release();
}

bool PolkitAuthority::listsAction(DBusMessage* reply, const std::string& actionId) {
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
        const char* name = dbus_message_get_error_name(reply);
        const char* text = nullptr;
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        throw Error(name ? name : "",
                    std::string("cannot list the authorization actions: ") + (text   ? text
                                                                              : name ? name
                                                                                     : "no reason"));
    }
    // a(ssssssuuua{ss}): the action id is the first field of each entry.
    DBusMessageIter args, list, entry;
    if (!dbus_message_iter_init(reply, &args) || dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY)
        throw Error("", "the authority's list of actions is malformed");
    dbus_message_iter_recurse(&args, &list);
    while (dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT) {
        dbus_message_iter_recurse(&list, &entry);
        if (dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_STRING) {
            const char* id = nullptr;
            dbus_message_iter_get_basic(&entry, &id);
            if (id && actionId == id) return true;
        }
        dbus_message_iter_next(&list);
    }
    return false;
}

DBusMessage* PolkitAuthority::newCheck(const std::string& actionId, const std::string& subjectBusName,
                                       const std::string& cancellationId, const Details& details) {
    Message call = newCall("CheckAuthorization");
    DBusMessageIter args, dict;
    dbus_message_iter_init_append(call.get(), &args);
    appendSubject(&args, subjectBusName);
    appendString(&args, actionId);
    check(dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{ss}", &dict));
    for (const auto& [key, value] : details) {
        DBusMessageIter entry;
        check(dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry));
        appendString(&entry, key);
        appendString(&entry, value);
        check(dbus_message_iter_close_container(&dict, &entry));
    }
    check(dbus_message_iter_close_container(&args, &dict));
    const dbus_uint32_t flags = kAllowUserInteraction;
    check(dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &flags));
    appendString(&args, cancellationId);
    return call.release();
}

DBusMessage* PolkitAuthority::newCancel(const std::string& cancellationId) {
    Message cancel = newCall("CancelCheckAuthorization");
    DBusMessageIter args;
    dbus_message_iter_init_append(cancel.get(), &args);
    appendString(&args, cancellationId);
    return cancel.release();
}

PolkitAuthority::Answer PolkitAuthority::answerOf(DBusMessage* reply) {
    return readResult(reply);
}

} // namespace vaultkit
