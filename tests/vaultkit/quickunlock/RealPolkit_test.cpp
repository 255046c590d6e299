// The key service with the distribution's polkitd instead of the mock: what
// the rules decide reaches the caller, and the prompt an agent gets names the
// vault and the asking program in the agent's language (the package's
// translations, looked up by polkitd in the "hushcoffer" domain). The built
// service runs as root on a private system bus with a software TPM; the
// caller is a program of hctest that is its own authentication agent
// (support/polkit_agent.py), dismissing every prompt.
#include "support/KeyServiceBus.h"
#include "support/RealPolkitd.h"
#include "support/SoftwareTpm.h"
#include "support/TestSupport.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/quickunlock/KeyServiceClient.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using vaultkit::KeyServiceClient;
using vaultkit::KeyServiceProtocol;
using vaulttest::KeyServiceBus;
using vaulttest::RealPolkitd;
using vaulttest::SoftwareTpm;
using vaulttest::TempDir;

#ifndef HC_TEST_SUPPORT_DIR
#error "HC_TEST_SUPPORT_DIR must name tests/vaultkit/support"
#endif

namespace {

// The test's rules: one vault name is let through, one refused, any other
// needs the user's own confirmation (the package's default for an active
// session, which a test process does not have).
constexpr const char* kRules = R"(polkit.addRule(function(action, subject) {
    if (action.id != "app.hushcoffer.Hushcoffer.unlock") return polkit.Result.NOT_HANDLED;
    var vault = action.lookup("vault");
    if (vault == "Allowed") return polkit.Result.YES;
    if (vault == "Denied") return polkit.Result.NO;
    return polkit.Result.AUTH_SELF;
});
)";

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

class RealPolkitTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!KeyServiceBus::usable(&why) || !RealPolkitd::usable(&why)) GTEST_SKIP() << why;
        if (vaultkit::Exec::runSync("/usr/bin/python3", {"-c", "import gi"}, std::nullopt, 30).status != 0)
            GTEST_SKIP() << "python3-gi is not installed (the test's agent uses it)";
        tpm = std::make_unique<SoftwareTpm>();
        bus = std::make_unique<KeyServiceBus>(tpm->transport(), state / "keyd", 0, std::string(kRules));
        // The agent's script where hctest can read it (the checkout may be
        // root's alone).
        fs::permissions(scripts.path(), fs::perms(0755));
        fs::copy_file(fs::path(HC_TEST_SUPPORT_DIR) / "polkit_agent.py", scripts / "polkit_agent.py");
        fs::permissions(scripts / "polkit_agent.py", fs::perms(0755));
    }

    // What hctest's agent program saw: the messages of the prompts polkit
    // began, and how its Authorize ended.
    nlohmann::json unlockAsUser(const std::vector<std::uint8_t>& handle, const std::string& vault,
                                const std::string& locale) {
        const std::string address = bus->address();
        const std::string script = (scripts / "polkit_agent.py").string();
        const std::string out = KeyServiceBus::runAs([&] {
            const auto r = vaultkit::Exec::runSync("/usr/bin/python3", {script, address, locale, hex(handle), vault},
                                                   std::nullopt, 60);
            return r.status == 0 ? r.stdoutText() : "agent failed: " + r.stderrText;
        });
        const auto parsed = nlohmann::json::parse(out, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << out;
        return parsed;
    }

    TempDir state{"hc-polkit-state"};
    TempDir scripts{"hc-polkit-agent"};
    std::unique_ptr<SoftwareTpm> tpm;
    std::unique_ptr<KeyServiceBus> bus;
};

} // namespace

TEST_F(RealPolkitTest, RulesDecideAndThePromptNamesVaultAndProgramInTheAgentsLanguage) {
    const std::string address = bus->address();
    const std::string made = KeyServiceBus::runAs([&] { return hex(KeyServiceClient(address).createKey().first); });
    ASSERT_EQ(made.find_first_not_of("0123456789abcdef"), std::string::npos) << made;
    std::vector<std::uint8_t> handle;
    for (std::size_t i = 0; i + 1 < made.size(); i += 2)
        handle.push_back(static_cast<std::uint8_t>(std::stoi(made.substr(i, 2), nullptr, 16)));

    // The service names the caller's executable, as the bus tells it.
    const std::string program = fs::canonical("/usr/bin/python3").string();
    struct Case {
        const char* vault;
        const char* locale;
        std::string outcome;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"Fotos", "de_DE.UTF-8", KeyServiceProtocol::errorDismissed,
         {"Hushcoffer m\u00f6chte den Tresor \u201eFotos\u201c f\u00fcr " + program +
          " entsperren. Best\u00e4tigen Sie, dass Sie es sind."}},
        {"Fotos", "C.UTF-8", KeyServiceProtocol::errorDismissed,
         {"Hushcoffer wants to unlock the vault \u201cFotos\u201d for " + program + ". Confirm that it is you."}},
        {"Allowed", "de_DE.UTF-8", "token", {}},
        {"Denied", "de_DE.UTF-8", KeyServiceProtocol::errorNotAuthorized, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.vault) + " " + c.locale);
        const nlohmann::json seen = unlockAsUser(handle, c.vault, c.locale);
        if (seen.is_discarded()) continue;
        EXPECT_EQ(seen.value("authorize", ""), c.outcome);
        EXPECT_EQ(seen.value("messages", std::vector<std::string>{}), c.messages);
    }
}
