#include "support/PolkitAuthorityMock.h"

#include "vaultkit/process/Exec.h"

#include <csignal>
#include <filesystem>
#include <stdexcept>

#ifndef HC_TEST_SUPPORT_DIR
#error "HC_TEST_SUPPORT_DIR must name tests/vaultkit/support"
#endif

namespace vaulttest {

namespace {

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : ",") + p;
    return out;
}

// The last token of dbus-send's literal reply ("   uint32 3" -> "3").
std::string lastToken(const std::string& text) {
    const auto end = text.find_last_not_of(" \n\t");
    if (end == std::string::npos) return {};
    const auto begin = text.find_last_of(" \n\t", end);
    return text.substr(begin == std::string::npos ? 0 : begin + 1,
                       end - (begin == std::string::npos ? 0 : begin + 1) + 1);
}

// The template: next to the test program when it was copied for another user
// (who may not be able to read the source tree), else in the source tree.
std::string templateFile() {
    std::error_code ec;
    const auto beside =
        std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "polkit_authority_mock.py";
    if (!ec && std::filesystem::exists(beside, ec)) return beside.string();
    return std::string(HC_TEST_SUPPORT_DIR) + "/polkit_authority_mock.py";
}

} // namespace

PolkitAuthorityMock::PolkitAuthorityMock(std::vector<std::string> actions, bool withAuthority) {
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1",
                                 "--address=unix:path=" + (dir_ / "bus").string()},
        std::vector<std::string>{}, true);
    auto line = bus_->readLine(10);
    if (!line || line->empty()) throw std::runtime_error("the private bus did not start");
    address_ = *line;
    if (withAuthority) startAuthority(actions);
}

PolkitAuthorityMock::PolkitAuthorityMock(const std::string& busAddress, std::vector<std::string> actions)
    : address_(busAddress) {
    startAuthority(actions);
}

void PolkitAuthorityMock::startAuthority(const std::vector<std::string>& actions) {
    std::string json = "{\"actions\": [";
    for (std::size_t i = 0; i < actions.size(); ++i)
        json += (i ? ", \"" : "\"") + actions[i] + "\"";
    json += "]}";
    authority_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--template", templateFile(),
                                 "--parameters", json},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address_});
    const bool up = waitUntil(
        [&] {
            const auto r = vaultkit::Exec::runSync("/usr/bin/dbus-send",
                                                   {"--bus=" + address_, "--print-reply=literal",
                                                    "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus.NameHasOwner",
                                                    "string:org.freedesktop.PolicyKit1"},
                                                   std::nullopt, 5);
            return r.status == 0 && r.stdoutText().find("true") != std::string::npos;
        },
        20);
    if (!up) throw std::runtime_error("the mocked authority did not start");
}

PolkitAuthorityMock::~PolkitAuthorityMock() {
    if (authority_) authority_->stop();
    if (bus_) bus_->stop();
}

std::string PolkitAuthorityMock::call(const std::string& method, const std::vector<std::string>& args) {
    std::vector<std::string> argv{
        "--bus=" + address_, "--print-reply=literal", "--dest=org.freedesktop.PolicyKit1",
        "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = vaultkit::Exec::runSync("/usr/bin/dbus-send", argv, std::nullopt, 10);
    if (r.status != 0) throw std::runtime_error("mock call " + method + " failed: " + r.stderrText);
    return r.stdoutText();
}

void PolkitAuthorityMock::scriptAnswers(const std::vector<std::string>& answers) {
    call("ScriptAnswers", {"string:" + joined(answers)});
}

void PolkitAuthorityMock::setActions(const std::vector<std::string>& actions) {
    call("SetActions", {"string:" + joined(actions)});
}

int PolkitAuthorityMock::checkCount() {
    return std::stoi(lastToken(call("CheckCount")));
}

int PolkitAuthorityMock::callCount() {
    return std::stoi(lastToken(call("CallCount")));
}

int PolkitAuthorityMock::cancelCount() {
    return std::stoi(lastToken(call("CancelCount")));
}

std::string PolkitAuthorityMock::lastCheck() {
    std::string text = call("LastCheck");
    const auto begin = text.find_first_not_of(" \n\t");
    const auto end = text.find_last_not_of(" \n\t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

std::string PolkitAuthorityMock::lastDetails() {
    std::string text = call("LastDetails");
    const auto begin = text.find_first_not_of(" \n\t");
    const auto end = text.find_last_not_of(" \n\t");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

void PolkitAuthorityMock::pauseAuthority(bool paused) {
    if (authority_) ::kill(authority_->pid(), paused ? SIGSTOP : SIGCONT);
}

void PolkitAuthorityMock::stopAuthority() {
    if (authority_) authority_->stop();
}

} // namespace vaulttest
