#pragma once

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace vaulttest {

// A private bus (a dbus-daemon of the test's own) with a mocked polkit
// authority on it (python3-dbusmock with the template
// polkit_authority_mock.py next to this file), whose answers the test
// scripts. The code under test is given address().
class PolkitAuthorityMock {
public:
    // Starts the bus, and the authority on it unless `withAuthority` is
    // false; `actions` are the installed action ids.
    explicit PolkitAuthorityMock(std::vector<std::string> actions, bool withAuthority = true);
    // Only the authority, on the bus at `busAddress` (one the test started).
    PolkitAuthorityMock(const std::string& busAddress, std::vector<std::string> actions);
    ~PolkitAuthorityMock();
    PolkitAuthorityMock(const PolkitAuthorityMock&) = delete;
    PolkitAuthorityMock& operator=(const PolkitAuthorityMock&) = delete;

    const std::string& address() const { return address_; }

    // The answers of the next checks, in order: "allow", "dismiss", "refuse",
    // "noagent", "hang"; checks beyond the script are allowed.
    void scriptAnswers(const std::vector<std::string>& answers);
    void setActions(const std::vector<std::string>& actions);
    int checkCount();
    int cancelCount();
    // Calls of the authority's own methods (list of actions, checks).
    int callCount();
    // "subject-kind subject-name action-id flags" of the last check.
    std::string lastCheck();
    // The last check's details, "key=value" lines sorted by key.
    std::string lastDetails();
    // Ends the authority; the bus stays.
    void stopAuthority();
    // Stops (SIGSTOP) and continues the authority: a hung authority that
    // holds its name and answers nothing.
    void pauseAuthority(bool paused);

private:
    void startAuthority(const std::vector<std::string>& actions);
    std::string call(const std::string& method, const std::vector<std::string>& args = {});

    TempDir dir_{"hc-bus"};
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> authority_;
    std::string address_;
};

} // namespace vaulttest
