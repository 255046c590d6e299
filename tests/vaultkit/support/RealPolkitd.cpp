#include "support/RealPolkitd.h"

#include "vaultkit/process/Exec.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#ifndef HC_SOURCE_DIR
#error "HC_SOURCE_DIR must name the source tree"
#endif
#ifndef HC_PROMPT_LOCALE_DIR
#error "HC_PROMPT_LOCALE_DIR must name the built prompt translations"
#endif

namespace fs = std::filesystem;

namespace vaulttest {

namespace {

constexpr const char* kLocaleSource = "/usr/share/i18n/locales/de_DE";

bool nameOwned(const std::string& busAddress) {
    const auto r = vaultkit::Exec::runSync("/usr/bin/dbus-send",
                                           {"--bus=" + busAddress, "--print-reply", "--dest=org.freedesktop.DBus",
                                            "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
                                            "string:org.freedesktop.PolicyKit1"},
                                           std::nullopt, 5);
    return r.status == 0;
}

} // namespace

bool RealPolkitd::usable(std::string* why) {
    if (::geteuid() != 0) {
        *why = "needs root (polkitd in a mount namespace of its own)";
        return false;
    }
    for (const char* path : {program, "/usr/bin/localedef", "/usr/bin/unshare", kLocaleSource}) {
        if (::access(path, F_OK) != 0) {
            *why = std::string(path) + " is missing (polkitd, locales and util-linux are needed)";
            return false;
        }
    }
    if (!fs::is_regular_file(fs::path(HC_PROMPT_LOCALE_DIR) / "de" / "LC_MESSAGES" / "hushcoffer.mo")) {
        *why = "the prompt's translations are not built (target hc_prompt_texts)";
        return false;
    }
    return true;
}

RealPolkitd::RealPolkitd(const std::string& busAddress, const std::string& rules) {
    // polkitd reads all of this as its own user.
    fs::permissions(dir_.path(), fs::perms(0755));
    for (const char* sub : {"actions", "rules", "no-rules", "locale"}) {
        fs::create_directory(dir_ / sub);
        fs::permissions(dir_ / sub, fs::perms(0755));
    }
    fs::copy_file(fs::path(HC_SOURCE_DIR) / "resources/linux/app.hushcoffer.Hushcoffer.policy",
                  dir_ / "actions" / "app.hushcoffer.Hushcoffer.policy");
    {
        std::ofstream out(dir_ / "rules" / "50-hushcoffer-test.rules");
        out << rules;
    }
    const auto made = vaultkit::Exec::runSync(
        "/usr/bin/localedef", {"-i", "de_DE", "-f", "UTF-8", (dir_ / "locale" / "de_DE.UTF-8").string()},
        std::nullopt, 120);
    if (made.status != 0 && !fs::exists(dir_ / "locale" / "de_DE.UTF-8" / "LC_MESSAGES"))
        throw std::runtime_error("localedef failed: " + made.stderrText);

    // The mounts stay inside the namespace: the system's own folders are
    // untouched outside it.
    const std::string script =
        "set -e\n"
        "mount --bind '" + (dir_ / "actions").string() + "' /usr/share/polkit-1/actions\n"
        "mount --bind '" + (dir_ / "rules").string() + "' /etc/polkit-1/rules.d\n"
        "mount --bind '" + (dir_ / "no-rules").string() + "' /usr/share/polkit-1/rules.d\n"
        "mount --bind '" + std::string(HC_PROMPT_LOCALE_DIR) + "' /usr/share/locale\n"
        // polkitd gives up root for its own user once it has started
        "exec " + program + " --no-debug\n";
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress,
                                 "LOCPATH=" + (dir_ / "locale").string()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!nameOwned(busAddress)) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("polkitd did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

RealPolkitd::~RealPolkitd() {
    if (process_) process_->stop();
}

} // namespace vaulttest
