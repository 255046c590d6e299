#pragma once

#include "vaultkit/quickunlock/KeyServiceProtocol.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct DBusMessage;

namespace vaultkit {

// The system's authorization service (polkit) on a D-Bus bus, as the key
// service uses it: whether an action is installed, and the check of a caller
// (the messages; the service sends them from its own event loop), which lets
// the caller's authentication agent ask the user (password, or the
// fingerprint where the system's PAM offers it).
//
// hasAction opens its own private connection to the bus at `busAddress`; the
// product passes the system bus socket itself, so that no environment
// variable can send the question elsewhere.
class PolkitAuthority {
public:
    static constexpr const char* systemBusAddress = KeyServiceProtocol::systemBusAddress;

    // The bus or the authority cannot be reached, or answered with an error.
    class Error : public std::runtime_error {
    public:
        Error(std::string name, const std::string& message)
            : std::runtime_error(message)
            , name_(std::move(name)) {}
        // The D-Bus error name, empty when there was none.
        const std::string& name() const { return name_; }

    private:
        std::string name_;
    };

    enum class Answer {
        authorized,    // the user proved who they are (or no proof was needed)
        dismissed,     // the user dismissed the agent's dialog
        noAgent,       // the action needs a proof, but no agent could ask for it
        notAuthorized, // refused: the proof failed or the action is not allowed
    };

    explicit PolkitAuthority(std::string busAddress = systemBusAddress);

    // Whether `actionId` is installed (listed by the authority). Throws Error.
    bool hasAction(const std::string& actionId) const;

    // For a service that checks its callers from its own event loop: the
    // CheckAuthorization call asking whether the connection `subjectBusName`
    // may perform `actionId` (user interaction allowed, so that the agent of
    // that caller's session asks), the call that withdraws it, and the
    // reading of a reply (authorized, dismissed, noAgent or notAuthorized;
    // throws Error for a malformed one). The caller owns the messages.
    // `details` go to the agent, which shows them with the prompt.
    using Details = std::vector<std::pair<std::string, std::string>>;
    static DBusMessage* newCheck(const std::string& actionId, const std::string& subjectBusName,
                                 const std::string& cancellationId, const Details& details = {});
    // The list of installed actions, asked from an event loop: the call, and
    // whether its reply lists `actionId` (throws Error for an error reply or
    // a malformed one).
    static DBusMessage* newActionList();
    static bool listsAction(DBusMessage* reply, const std::string& actionId);
    static DBusMessage* newCancel(const std::string& cancellationId);
    static Answer answerOf(DBusMessage* reply);

private:
    std::string busAddress_;
};

} // namespace vaultkit
