// Quick unlock through the key service: the service as root on a private
// system bus (activated by the bus), a software TPM, a mocked polkit
// authority, and the provider as the ordinary user hctest in a child process.
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/quickunlock/KeyServiceClient.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"
#include "vaultkit/quickunlock/LinuxTouchIDProvider.h"
#include "vaultkit/quickunlock/TouchIDKey.h"
#include "vaultkit/quickunlock/TpmDevice.h"

#include "support/KeyServiceBus.h"
#include "support/SoftwareTouchIDProvider.h"
#include "support/SoftwareTpm.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

using vaultkit::KeyServiceClient;
using vaultkit::KeyServiceProtocol;
using vaultkit::LinuxTouchIDProvider;
using vaultkit::TouchIDContext;
using vaultkit::TouchIDKey;
using vaultkit::TpmDevice;
using vaultkit::VaultError;
using vaulttest::KeyServiceBus;
using vaulttest::outcomeOf;
using vaulttest::SoftwareTpm;
namespace Sealing = vaultkit::Sealing;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string outcome(const VaultError& e) {
    return outcomeOf([&] { throw e; });
}

// The kind part of an outcome ("VaultError 14" of "VaultError 14: text").
std::string kindOf(const std::string& outcome) {
    return outcome.substr(0, outcome.find(':'));
}

std::string hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto c : b) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
Bytes unhex(const std::string& s) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return out;
}

vaultkit::P256PublicKey publicKeyOf(const Bytes& b) {
    vaultkit::P256PublicKey k;
    std::copy(b.begin(), b.end(), k.x963.begin());
    return k;
}

class QuickUnlockServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!KeyServiceBus::usable(&why)) GTEST_SKIP() << why;
        tpm = std::make_unique<SoftwareTpm>();
        bus = std::make_unique<KeyServiceBus>(tpm->transport(), stateDir());
    }

    fs::path stateDir() const { return state / "keyd"; }

    LinuxTouchIDProvider::Options options() const {
        LinuxTouchIDProvider::Options o;
        o.busAddress = bus->address();
        o.promptTimeout = std::chrono::milliseconds(1500);
        return o;
    }

    // Runs `fn` as hctest with the provider on the private bus installed.
    std::string asUser(const std::function<std::string()>& fn, const std::string& user = "hctest") {
        const auto o = options();
        return KeyServiceBus::runAs(
            [&] {
                TouchIDKey::setProvider(std::make_shared<LinuxTouchIDProvider>(o));
                return fn();
            },
            user);
    }

    // A key made by hctest: "handle-hex public-key-hex".
    std::pair<Bytes, Bytes> makeKey(const std::string& user = "hctest") {
        const std::string made = asUser(
            [] {
                const auto key = TouchIDKey::createKey();
                return hex(key.handle) + " " + hex(Bytes(key.publicKey.x963.begin(), key.publicKey.x963.end()));
            },
            user);
        const auto space = made.find(' ');
        if (space == std::string::npos) throw std::runtime_error("making a key failed: " + made);
        return {unhex(made.substr(0, space)), unhex(made.substr(space + 1))};
    }

    // Opens `sealed` as `user` with one prompt.
    std::string openAs(const vaultkit::SealedSecret& sealed, const Bytes& handle, const Bytes& publicKey,
                       const std::string& user = "hctest") {
        return asUser(
            [&] {
                std::string text;
                const std::string how = outcomeOf([&] {
                    text = TouchIDKey::open(sealed, handle, publicKey, TouchIDKey::authenticate("r"));
                });
                return how == "ok" ? "opened: " + text : how;
            },
            user);
    }

    vaulttest::TempDir state{"hc-keyd-state"};
    std::unique_ptr<SoftwareTpm> tpm;
    std::unique_ptr<KeyServiceBus> bus;
};

} // namespace

// ---------------------------------------------------------------- the prompt

TEST_F(QuickUnlockServiceTest, PromptAnswersMapToOutcomes) {
    struct Case {
        const char* answer;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"allow", "ok"},
        {"dismiss", outcome(VaultError::touchIDCancelled())},
        {"refuse", outcome(VaultError::touchID("the system did not confirm that it is you"))},
        {"noagent", outcome(VaultError::touchID("no authentication agent is running to confirm that it is you"))},
        // Unanswered within the time limit: withdrawn, as if dismissed.
        {"hang", outcome(VaultError::touchIDCancelled())},
    };
    int checks = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        bus->polkit().scriptAnswers({c.answer});
        EXPECT_EQ(asUser([] { return outcomeOf([] { TouchIDKey::authenticate("Unlock Photos"); }); }), c.expected);
        EXPECT_EQ(bus->polkit().checkCount(), ++checks);
    }
    EXPECT_EQ(bus->polkit().cancelCount(), 1) << "the unanswered check is withdrawn";

    // The question is about the caller's own bus connection, not the
    // service's, for the unlock action, with user interaction allowed.
    const std::string last = bus->polkit().lastCheck();
    EXPECT_EQ(last.rfind("system-bus-name :", 0), 0u) << last;
    const std::string service = bus->serviceName();
    ASSERT_FALSE(service.empty());
    EXPECT_EQ(last.find(service + " "), std::string::npos) << last << " names the service " << service;
    EXPECT_NE(last.find(std::string(" ") + LinuxTouchIDProvider::actionId + " 1"), std::string::npos) << last;
}

// The program that asked is gone (killed while its prompt is open): the
// service withdraws the check, so the agent's dialog goes too.
TEST_F(QuickUnlockServiceTest, PromptIsWithdrawnWhenTheAskingProgramGoes) {
    bus->polkit().scriptAnswers({"hang"});
    const std::string address = bus->address();
    auto& polkit = bus->polkit();
    const std::string got = KeyServiceBus::runAs([&] {
        const pid_t asker = ::fork();
        if (asker == 0) {
            try {
                KeyServiceClient(address).authorize(std::chrono::minutes(5));
            } catch (...) {
            }
            ::_exit(0);
        }
        const bool asked = vaulttest::waitUntil([&] { return polkit.checkCount() == 1; }, 20);
        ::kill(asker, SIGKILL);
        ::waitpid(asker, nullptr, 0);
        return asked ? std::string("killed while asking") : "never asked";
    });
    EXPECT_EQ(got, "killed while asking");
    EXPECT_TRUE(vaulttest::waitUntil([&] { return bus->polkit().cancelCount() == 1; }, 20))
        << "the check is still open";
}

TEST_F(QuickUnlockServiceTest, AuthorityAndBusFailuresAreTouchIDErrors) {
    const std::string touchIDKind = kindOf(outcome(VaultError::touchID("x")));
    // The action is not installed: the authority answers with an error.
    bus->polkit().setActions({});
    std::string got = asUser([] { return outcomeOf([] { TouchIDKey::authenticate("r"); }); });
    EXPECT_EQ(kindOf(got), touchIDKind) << got;
    EXPECT_NE(got.find("not registered"), std::string::npos) << got;

    // No authority on the bus.
    bus->polkit().stopAuthority();
    got = asUser([] { return outcomeOf([] { TouchIDKey::authenticate("r"); }); });
    EXPECT_EQ(kindOf(got), touchIDKind) << got;

    // No bus.
    got = KeyServiceBus::runAs([] {
        LinuxTouchIDProvider::Options o;
        o.busAddress = "unix:path=/nonexistent/bus";
        TouchIDKey::setProvider(std::make_shared<LinuxTouchIDProvider>(o));
        return outcomeOf([] { TouchIDKey::authenticate("r"); }) + " | available=" +
               std::to_string(TouchIDKey::isAvailable());
    });
    EXPECT_EQ(kindOf(got), touchIDKind) << got;
    EXPECT_NE(got.find("available=0"), std::string::npos) << got;
}

// ---------------------------------------------------------------- keys and contexts

TEST_F(QuickUnlockServiceTest, OnePromptOpensTwoCopiesAndOnlyWithThisProvidersContext) {
    const auto [handle, publicKey] = makeKey();
    EXPECT_EQ(bus->polkit().checkCount(), 0) << "making a key needs no prompt";
    const auto first = Sealing::seal("first password", publicKeyOf(publicKey));
    const auto second = Sealing::seal("zweites Passwort ✓", publicKeyOf(publicKey));

    const std::string opened = asUser([&] {
        const TouchIDContext context = TouchIDKey::authenticate("r");
        std::string out = TouchIDKey::open(first, handle, publicKey, context) + "|" +
                          TouchIDKey::open(second, handle, publicKey, context);
        // No context, or one another provider issued.
        vaulttest::SoftwareTouchIDProvider software;
        for (const TouchIDContext& bad : {TouchIDContext(), software.authenticate("r").context})
            out += "|" + outcomeOf([&] { TouchIDKey::open(first, handle, publicKey, bad); });
        return out;
    });
    const std::string invalidContext = outcome(VaultError::touchID("authentication context not valid"));
    EXPECT_EQ(opened, "first password|zweites Passwort ✓|" + invalidContext + "|" + invalidContext);
    EXPECT_EQ(bus->polkit().checkCount(), 1) << "one prompt for both copies";

    // The service's state: a folder and a secret only it can read.
    struct stat st{};
    ASSERT_EQ(::stat(stateDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::stat((stateDir() / "secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 32);

    // The TPM is gone: a failure, not an invalidated key.
    tpm->stop();
    const std::string gone = openAs(first, handle, publicKey);
    EXPECT_EQ(kindOf(gone), kindOf(outcome(VaultError::touchID("x")))) << gone;
}

TEST_F(QuickUnlockServiceTest, HandlesTheServiceCannotUseForThisCaller) {
    const auto [handle, publicKey] = makeKey();
    const auto sealed = Sealing::seal("the password", publicKeyOf(publicKey));
    const std::string invalidated = outcome(VaultError::touchIDInvalidated());

    // A key of another user (root here) is refused by name, and the uid in
    // the handle cannot be rewritten to this user: the key's value is bound
    // to the uid it was made for.
    const auto [rootHandle, rootPublic] = makeKey("root");
    const auto rootSealed = Sealing::seal("root's password", publicKeyOf(rootPublic));
    EXPECT_EQ(openAs(rootSealed, rootHandle, rootPublic),
              outcome(VaultError::touchID("the key belongs to another user")));
    Bytes relabelled = rootHandle;
    const uid_t uid = KeyServiceBus::uidOf("hctest");
    for (int i = 0; i < 4; ++i)
        relabelled[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(uid >> (24 - 8 * i));
    EXPECT_EQ(openAs(rootSealed, relabelled, rootPublic), invalidated);
    EXPECT_EQ(openAs(rootSealed, rootHandle, rootPublic, "root"), "opened: root's password");

    // Not a handle of the service: the TPM's blobs alone (a key made before
    // the service held the keys), or damaged.
    const Bytes blobsOnly(handle.begin() + 8, handle.end());
    Bytes damaged = handle;
    damaged.back() ^= 1;
    for (const Bytes& bad : {blobsOnly, damaged, Bytes(handle.begin(), handle.begin() + 8)})
        EXPECT_EQ(openAs(sealed, bad, publicKey), invalidated);

    // Another TPM (another computer, or this one after a TPM clear), with
    // the same service secret.
    {
        SoftwareTpm other;
        KeyServiceBus elsewhere(other.transport(), stateDir());
        const std::string got = KeyServiceBus::runAs([&] {
            LinuxTouchIDProvider::Options o;
            o.busAddress = elsewhere.address();
            TouchIDKey::setProvider(std::make_shared<LinuxTouchIDProvider>(o));
            return outcomeOf([&] { TouchIDKey::open(sealed, handle, publicKey, TouchIDKey::authenticate("r")); });
        });
        EXPECT_EQ(got, invalidated);
        EXPECT_EQ(elsewhere.polkit().checkCount(), 1) << "refused after the prompt has passed";
    }

    // The service's secret removed: every key is gone for good, and a new
    // key works again.
    EXPECT_EQ(openAs(sealed, handle, publicKey), "opened: the password");
    fs::remove(stateDir() / "secret");
    EXPECT_EQ(openAs(sealed, handle, publicKey), invalidated);
    const auto [newHandle, newPublic] = makeKey();
    EXPECT_EQ(openAs(Sealing::seal("new", publicKeyOf(newPublic)), newHandle, newPublic), "opened: new");
    EXPECT_EQ(openAs(sealed, handle, publicKey), invalidated) << "a new secret does not revive old keys";
}

TEST_F(QuickUnlockServiceTest, CreatingAKeyNeedsTheActionAndASafeSecret) {
    bus->polkit().setActions({"org.example.other"});
    EXPECT_EQ(asUser([] { return outcomeOf([] { TouchIDKey::createKey(); }); }),
              outcome(VaultError::touchID("the system's authorization action for Hushcoffer is not installed")));
    bus->polkit().setActions({LinuxTouchIDProvider::actionId});
    makeKey();

    // A secret other users could read is refused, never repaired or used.
    fs::permissions(stateDir() / "secret", fs::perms(0644));
    const std::string got = asUser([] { return outcomeOf([] { TouchIDKey::createKey(); }); });
    EXPECT_NE(got.find("open to other users"), std::string::npos) << got;
    EXPECT_EQ(fs::status(stateDir() / "secret").permissions(), fs::perms(0644));
}

TEST_F(QuickUnlockServiceTest, AvailableOnlyWithServiceTpmAndAction) {
    const auto available = [&] { return asUser([] { return std::to_string(TouchIDKey::isAvailable()); }); };
    EXPECT_EQ(available(), "1");
    bus->polkit().setActions({"org.example.other"});
    EXPECT_EQ(available(), "0") << "action not installed";
    bus->polkit().setActions({LinuxTouchIDProvider::actionId});
    tpm->stop();
    EXPECT_EQ(available(), "0") << "TPM stopped";
    EXPECT_EQ(bus->polkit().checkCount(), 0) << "asking for availability shows no prompt";
}

// Started by the bus for the first caller, ended when idle, started again for
// the next one.
TEST_F(QuickUnlockServiceTest, EndsWhenIdleAndTheBusStartsItAgain) {
    KeyServiceBus idle(tpm->transport(), stateDir(), /*idleExitSeconds=*/1);
    EXPECT_EQ(idle.serviceName(), "") << "nothing runs before the first call";
    const auto available = [&] {
        const std::string address = idle.address();
        return KeyServiceBus::runAs([&] {
            LinuxTouchIDProvider::Options o;
            o.busAddress = address;
            return std::to_string(LinuxTouchIDProvider(o).isAvailable());
        });
    };
    EXPECT_EQ(available(), "1");
    EXPECT_TRUE(vaulttest::waitUntil([&] { return idle.serviceName().empty(); }, 30)) << "still running";
    EXPECT_EQ(available(), "1");
    EXPECT_FALSE(idle.serviceName().empty());
}

// ---------------------------------------------------------------- the attacker

// A program running as the same user, with everything vault.json holds and
// the TPM device granted to it, cannot get the key agreement: not from the
// TPM (the key's value is the service's), and not from the service without
// polkit's yes for its own connection.
TEST_F(QuickUnlockServiceTest, SameUserWithoutThePromptGetsNothing) {
    const auto [handle, publicKey] = makeKey();
    const auto sealed = Sealing::seal("the password", publicKeyOf(publicKey));
    tpm->openToEveryone();
    const auto tpmBlobs = KeyServiceProtocol::decodeHandle(handle)->tpmBlobs;
    const std::string transport = tpm->transport();
    const std::string address = bus->address();

    const std::string direct = KeyServiceBus::runAs([&] {
        const TpmDevice device(transport);
        if (!device.answers()) return std::string("the TPM is not reachable");
        std::string out;
        TpmDevice::Auth guesses[3];
        guesses[0].fill(0);
        guesses[1].fill(0xff);
        // The handle's own bytes as the value.
        std::copy(tpmBlobs.begin(), tpmBlobs.begin() + 32, guesses[2].begin());
        for (const auto& guess : guesses) {
            auto op = device.loadKey(tpmBlobs, guess);
            if (!op) {
                out += "not loaded;";
                continue;
            }
            out += outcomeOf([&] { Sealing::open(sealed, *op, publicKeyOf(publicKey)); }) + ";";
        }
        return out;
    });
    EXPECT_EQ(direct.find("ok"), std::string::npos) << direct;
    EXPECT_NE(direct.find("refused the key's authorisation"), std::string::npos) << direct;

    // Through the service: a made-up token, a token after polkit said no,
    // and the token of another connection that passed.
    bus->polkit().scriptAnswers({"refuse", "allow"});
    const std::string viaService = KeyServiceBus::runAs([&] {
        const Bytes ephemeral(publicKey); // a valid point: the key's own public key
        std::string out;
        auto name = [](const std::function<void()>& f) {
            try {
                f();
                return std::string("answered");
            } catch (const KeyServiceClient::Error& e) {
                return e.name();
            }
        };
        KeyServiceClient attacker(address);
        out += name([&] { attacker.agree(Bytes(16, 7), handle, ephemeral); }) + ";";
        out += name([&] { attacker.authorize(std::chrono::milliseconds(1500)); }) + ";";
        out += name([&] { attacker.agree(Bytes(16, 0), handle, ephemeral); }) + ";";
        KeyServiceClient passed(address);
        const Bytes token = passed.authorize(std::chrono::milliseconds(1500));
        out += name([&] { attacker.agree(token, handle, ephemeral); }) + ";";
        out += name([&] { passed.agree(token, handle, ephemeral); });
        return out;
    });
    EXPECT_EQ(viaService, std::string(KeyServiceProtocol::errorNoToken) + ";" + KeyServiceProtocol::errorNotAuthorized +
                              ";" + KeyServiceProtocol::errorNoToken + ";" + KeyServiceProtocol::errorNoToken +
                              ";answered");
}

// ---------------------------------------------------------------- malformed requests

TEST_F(QuickUnlockServiceTest, MalformedRequestsGetErrorsAndTheServiceStays) {
    makeKey();
    const std::string service = bus->serviceName();
    ASSERT_FALSE(service.empty());
    std::string longArray = "array:byte:";
    for (int i = 0; i < 1100; ++i)
        longArray += (i ? ",1" : "1");
    const std::string token16 = "array:byte:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";
    std::string offCurve = "array:byte:4";
    for (int i = 0; i < 64; ++i)
        offCurve += ",1";
    struct Case {
        std::vector<std::string> args; // member and arguments
        const char* error;
    };
    const std::vector<Case> cases{
        {{"app.hushcoffer.KeyService1.Nope"}, "org.freedesktop.DBus.Error.UnknownMethod"},
        {{"app.hushcoffer.KeyService1.Authorize", "string:x"}, "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.Agree", "array:byte:1", "array:byte:1", "array:byte:1"},
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.Agree", token16, longArray, offCurve}, "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.Agree", token16, "array:byte:1", offCurve},
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.Agree", token16, "array:byte:", "array:byte:4"},
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.CreateKey", "uint32:1"}, "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"org.example.Other.Method"}, "org.freedesktop.DBus.Error.AccessDenied"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{"--bus=" + bus->address(), "--print-reply", "--dest=app.hushcoffer.KeyService1",
                                      "/app/hushcoffer/KeyService1"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = vaultkit::Exec::runSync("/usr/bin/dbus-send", argv, std::nullopt, 10);
        EXPECT_NE(r.status, 0) << c.args.front();
        EXPECT_NE(r.stderrText.find(c.error), std::string::npos) << c.args.front() << ": " << r.stderrText;
    }
    EXPECT_EQ(bus->serviceName(), service) << "the same service answers after all that";
    EXPECT_EQ(bus->polkit().checkCount(), 0);
}
