// Quick unlock through the key service: the service as root on a private
// system bus (activated by the bus), a software TPM, a mocked polkit
// authority, and the provider as the ordinary user hctest in a child process.
#include "keyd/TpmDevice.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/quickunlock/KeyServiceClient.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"
#include "vaultkit/quickunlock/TpmPolkitQuickUnlock.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/quickunlock/TpmKeyPolicy.h"

#include "support/KeyServiceBus.h"
#include "support/SoftwareQuickUnlock.h"
#include "support/SoftwareTpm.h"
#include "support/TpmPcr.h"

#include <gtest/gtest.h>

#include <dbus/dbus.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

using vaultkit::KeyServiceClient;
using vaultkit::KeyServiceProtocol;
using vaultkit::TpmPolkitQuickUnlock;
using vaultkit::QuickUnlockContext;
using vaultkit::QuickUnlockKey;
using vaultkit::TpmDevice;
using vaultkit::TpmKeyPolicy;
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

    TpmPolkitQuickUnlock::Options options() const {
        TpmPolkitQuickUnlock::Options o;
        o.busAddress = bus->address();
        o.promptTimeout = std::chrono::milliseconds(1500);
        return o;
    }

    // Runs `fn` as hctest with the provider on the private bus installed.
    std::string asUser(const std::function<std::string()>& fn, const std::string& user = "hctest") {
        const auto o = options();
        return KeyServiceBus::runAs(
            [&] {
                QuickUnlockKey::setProvider(std::make_shared<TpmPolkitQuickUnlock>(o));
                return fn();
            },
            user);
    }

    // A key made by hctest: "handle-hex public-key-hex".
    std::pair<Bytes, Bytes> makeKey(const std::string& user = "hctest") {
        const std::string made = asUser(
            [] {
                const auto key = QuickUnlockKey::createKey();
                return hex(key.handle) + " " +
                       hex(Bytes(key.publicKey.x963.begin(), key.publicKey.x963.end()));
            },
            user);
        const auto space = made.find(' ');
        if (space == std::string::npos) throw std::runtime_error("making a key failed: " + made);
        return {unhex(made.substr(0, space)), unhex(made.substr(space + 1))};
    }

    // The prompt for one unlock of the vault "Photos" with `handle`.
    static vaultkit::QuickUnlockInterface::AuthScope scopeOf(const Bytes& handle, unsigned agreements = 1) {
        return {handle, "Photos", agreements};
    }

    // Opens `sealed` as `user` with one prompt.
    std::string openAs(const vaultkit::SealedSecret& sealed, const Bytes& handle, const Bytes& publicKey,
                       const std::string& user = "hctest") {
        return asUser(
            [&] {
                std::string text;
                const std::string how = outcomeOf([&] {
                    text = QuickUnlockKey::open(sealed, handle, publicKey,
                                            QuickUnlockKey::authenticate("r", scopeOf(handle)));
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
        {"noagent",
         outcome(VaultError::touchID("no authentication agent is running to confirm that it is you"))},
        // Unanswered within the time limit: withdrawn, as if dismissed.
        {"hang", outcome(VaultError::touchIDCancelled())},
    };
    const Bytes handle = makeKey().first;
    int checks = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        bus->polkit().scriptAnswers({c.answer});
        EXPECT_EQ(asUser([&] {
                      return outcomeOf([&] { QuickUnlockKey::authenticate("Unlock Photos", scopeOf(handle)); });
                  }),
                  c.expected);
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
    EXPECT_NE(last.find(std::string(" ") + TpmPolkitQuickUnlock::actionId + " 1"), std::string::npos) << last;
}

// The program that asked is gone (killed while its prompt is open): the
// service withdraws the check, so the agent's dialog goes too.
TEST_F(QuickUnlockServiceTest, PromptIsWithdrawnWhenTheAskingProgramGoes) {
    const Bytes handle = makeKey().first;
    bus->polkit().scriptAnswers({"hang"});
    const std::string address = bus->address();
    auto& polkit = bus->polkit();
    const std::string got = KeyServiceBus::runAs([&] {
        const pid_t asker = ::fork();
        if (asker == 0) {
            try {
                KeyServiceClient(address).authorize(handle, "Photos", 1, std::chrono::minutes(5));
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
    const Bytes handle = makeKey().first;
    const auto authenticate = [&] { QuickUnlockKey::authenticate("r", scopeOf(handle)); };
    // The action is not installed: the authority answers with an error.
    bus->polkit().setActions({});
    std::string got = asUser([&] { return outcomeOf(authenticate); });
    EXPECT_EQ(kindOf(got), touchIDKind) << got;
    EXPECT_NE(got.find("not registered"), std::string::npos) << got;

    // No authority on the bus.
    bus->polkit().stopAuthority();
    got = asUser([&] { return outcomeOf(authenticate); });
    EXPECT_EQ(kindOf(got), touchIDKind) << got;

    // No bus.
    got = KeyServiceBus::runAs([&] {
        TpmPolkitQuickUnlock::Options o;
        o.busAddress = "unix:path=/nonexistent/bus";
        QuickUnlockKey::setProvider(std::make_shared<TpmPolkitQuickUnlock>(o));
        return outcomeOf(authenticate) + " | available=" + std::to_string(QuickUnlockKey::isAvailable());
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
        const QuickUnlockContext context = QuickUnlockKey::authenticate("r", scopeOf(handle, 2));
        std::string out = QuickUnlockKey::open(first, handle, publicKey, context) + "|" +
                          QuickUnlockKey::open(second, handle, publicKey, context);
        // No context, or one another provider issued.
        vaulttest::SoftwareQuickUnlock software;
        for (const QuickUnlockContext& bad : {QuickUnlockContext(), software.authenticate("r").context})
            out += "|" + outcomeOf([&] { QuickUnlockKey::open(first, handle, publicKey, bad); });
        return out;
    });
    const std::string invalidContext = outcome(VaultError::touchID("authentication context not valid"));
    EXPECT_EQ(opened, "first password|zweites Passwort ✓|" + invalidContext + "|" + invalidContext);
    EXPECT_EQ(bus->polkit().checkCount(), 1) << "one prompt for both copies";

    // The service's state: a folder and a secret only it can read.
    struct stat st {};
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
            TpmPolkitQuickUnlock::Options o;
            o.busAddress = elsewhere.address();
            QuickUnlockKey::setProvider(std::make_shared<TpmPolkitQuickUnlock>(o));
            return outcomeOf([&] {
                QuickUnlockKey::open(sealed, handle, publicKey, QuickUnlockKey::authenticate("r", scopeOf(handle)));
            });
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
    EXPECT_EQ(
        asUser([] { return outcomeOf([] { QuickUnlockKey::createKey(); }); }),
        outcome(VaultError::touchID("the system's authorization action for Hushcoffer is not installed")));
    bus->polkit().setActions({TpmPolkitQuickUnlock::actionId});
    makeKey();

    // A secret other users could read is refused, never repaired or used.
    fs::permissions(stateDir() / "secret", fs::perms(0644));
    const std::string got = asUser([] { return outcomeOf([] { QuickUnlockKey::createKey(); }); });
    EXPECT_NE(got.find("open to other users"), std::string::npos) << got;
    EXPECT_EQ(fs::status(stateDir() / "secret").permissions(), fs::perms(0644));
}

TEST_F(QuickUnlockServiceTest, AvailableOnlyWithServiceTpmAndAction) {
    const auto available = [&] { return asUser([] { return std::to_string(QuickUnlockKey::isAvailable()); }); };
    EXPECT_EQ(available(), "1");
    bus->polkit().setActions({"org.example.other"});
    EXPECT_EQ(available(), "0") << "action not installed";
    bus->polkit().setActions({TpmPolkitQuickUnlock::actionId});
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
            TpmPolkitQuickUnlock::Options o;
            o.busAddress = address;
            return std::to_string(TpmPolkitQuickUnlock(o).isAvailable());
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
        out += name([&] { attacker.authorize(handle, "Photos", 1, std::chrono::milliseconds(1500)); }) + ";";
        out += name([&] { attacker.agree(Bytes(16, 0), handle, ephemeral); }) + ";";
        KeyServiceClient passed(address);
        const Bytes token = passed.authorize(handle, "Photos", 1, std::chrono::milliseconds(1500));
        out += name([&] { attacker.agree(token, handle, ephemeral); }) + ";";
        out += name([&] { passed.agree(token, handle, ephemeral); });
        return out;
    });
    EXPECT_EQ(viaService, std::string(KeyServiceProtocol::errorNoToken) + ";" +
                              KeyServiceProtocol::errorNotAuthorized + ";" +
                              KeyServiceProtocol::errorNoToken + ";" + KeyServiceProtocol::errorNoToken +
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
        {{"app.hushcoffer.KeyService1.Agree", token16, longArray, offCurve},
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.Agree", token16, "array:byte:1", offCurve},
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.Agree", token16, "array:byte:", "array:byte:4"},
         "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"app.hushcoffer.KeyService1.CreateKey", "uint32:1"}, "org.freedesktop.DBus.Error.InvalidArgs"},
        {{"org.example.Other.Method"}, "org.freedesktop.DBus.Error.AccessDenied"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{"--bus=" + bus->address(), "--print-reply",
                                      "--dest=app.hushcoffer.KeyService1", "/app/hushcoffer/KeyService1"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = vaultkit::Exec::runSync("/usr/bin/dbus-send", argv, std::nullopt, 10);
        EXPECT_NE(r.status, 0) << c.args.front();
        EXPECT_NE(r.stderrText.find(c.error), std::string::npos) << c.args.front() << ": " << r.stderrText;
    }
    EXPECT_EQ(bus->serviceName(), service) << "the same service answers after all that";
    EXPECT_EQ(bus->polkit().checkCount(), 0);
}

// ---------------------------------------------------------------- one check, one unlock

namespace {

// What a KeyServiceClient call ended with: "answered" or the error's name.
std::string nameOf(const std::function<void()>& f) {
    try {
        f();
        return "answered";
    } catch (const KeyServiceClient::Error& e) {
        return e.name();
    }
}

} // namespace

// A passed check covers the agreements of one unlock with the one key it was
// asked for, and the prompt names the vault and the program that asked.
TEST_F(QuickUnlockServiceTest, OneCheckCoversOneUnlockWithOneKey) {
    const auto [handle, publicKey] = makeKey();
    const auto other = makeKey().first;
    const std::string address = bus->address();
    const std::string got = KeyServiceBus::runAs([&] {
        KeyServiceClient client(address);
        const Bytes token = client.authorize(handle, "Photos", 2, std::chrono::milliseconds(1500));
        std::string out;
        out += nameOf([&] { client.agree(token, other, publicKey); }) + ";";
        out += nameOf([&] { client.agree(token, handle, publicKey); }) + ";";
        out += nameOf([&] { client.agree(token, handle, publicKey); }) + ";";
        out += nameOf([&] { client.agree(token, handle, publicKey); });
        return out;
    });
    const std::string noToken = KeyServiceProtocol::errorNoToken;
    EXPECT_EQ(got, noToken + ";answered;answered;" + noToken);
    EXPECT_EQ(bus->polkit().checkCount(), 1);

    std::error_code ec;
    const std::string program = fs::read_symlink("/proc/self/exe", ec).string();
    const std::string details = bus->polkit().lastDetails();
    EXPECT_NE(details.find("\nvault=Photos"), std::string::npos) << details;
    EXPECT_NE(details.find("program=" + program), std::string::npos) << details;
    EXPECT_NE(details.find(
                  "polkit.message=Hushcoffer wants to unlock the vault \u201c$(vault)\u201d for $(program)."),
              std::string::npos)
        << details;
    EXPECT_NE(details.find("polkit.gettext_domain=hushcoffer"), std::string::npos) << details;

    // Names the prompt could be fooled with are refused before any prompt.
    for (const std::string& bad : {std::string(), std::string("two\nlines"), std::string(300, 'x')}) {
        const std::string refused = KeyServiceBus::runAs([&] {
            return nameOf(
                [&] { KeyServiceClient(address).authorize(handle, bad, 1, std::chrono::seconds(2)); });
        });
        EXPECT_EQ(refused, "org.freedesktop.DBus.Error.InvalidArgs");
    }
    EXPECT_EQ(bus->polkit().checkCount(), 1);
}

// ---------------------------------------------------------------- nobody stalls the service

namespace {

// As root (another user than hctest): `count` calls of `method` sent at once,
// 128 on each connection (what the bus lets one connection have open), in a
// child that waits for their answers; returns it.
pid_t flood(const std::string& address, const char* method, int count) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    std::vector<DBusPendingCall*> pending;
    DBusConnection* c = nullptr;
    for (int i = 0; i < count; ++i) {
        if (i % 128 == 0) {
            if (c) dbus_connection_flush(c);
            DBusError err;
            dbus_error_init(&err);
            c = dbus_connection_open_private(address.c_str(), &err);
            if (!c || !dbus_bus_register(c, &err)) ::_exit(1);
        }
        DBusMessage* m =
            dbus_message_new_method_call(KeyServiceProtocol::busName, KeyServiceProtocol::objectPath,
                                         KeyServiceProtocol::interfaceName, method);
        DBusPendingCall* p = nullptr;
        dbus_connection_send_with_reply(c, m, &p, 60000);
        dbus_message_unref(m);
        if (p) pending.push_back(p);
    }
    dbus_connection_flush(c);
    for (auto* p : pending) {
        dbus_pending_call_block(p);
        dbus_pending_call_unref(p);
    }
    ::_exit(0);
}

} // namespace

TEST_F(QuickUnlockServiceTest, AnotherUsersFloodOrAStoppedAuthorityHoldsUpNoUnlock) {
    const auto [handle, publicKey] = makeKey();
    const std::string address = bus->address();
    // hctest's unlock (the check and two agreements), in milliseconds.
    const auto unlock = [&] {
        return KeyServiceBus::runAs([&] {
            KeyServiceClient client(address);
            const auto start = std::chrono::steady_clock::now();
            const Bytes token = client.authorize(handle, "Photos", 2, std::chrono::seconds(5));
            client.agree(token, handle, publicKey);
            client.agree(token, handle, publicKey);
            return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
        });
    };
    unlock(); // the service runs and has its primary key
    const long quiet = std::stol(unlock());

    // Bounds of a correct service, generous: neither waits behind the other
    // user's work, where the same measurements took 0.8 s and 24 s before
    // (against 6-20 ms for a quiet unlock). A slower build or a loaded
    // machine (sanitizers) moves the bound with the quiet unlock's time.
    // On a loaded machine both the unlock and the flood slow down: an unlock
    // that did not wait takes far less than the flood it ran beside.
    const auto floodStart = std::chrono::steady_clock::now();
    const pid_t flooder = flood(address, "CreateKey", 512);
    ::usleep(50 * 1000);
    const long whileFlooding = std::stol(unlock());
    ::waitpid(flooder, nullptr, 0);
    const long floodMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - floodStart)
                                               .count());
    EXPECT_TRUE(whileFlooding < std::max(200L, 4 * quiet + 100) || 3 * whileFlooding < floodMs)
        << whileFlooding << " ms for an unlock while another user floods the service for " << floodMs
        << " ms (quiet: " << quiet << " ms)";

    // The authority stops answering: another user's IsAvailable waits for
    // it, hctest's agreement does not (its token was given before).
    const std::string agreed = KeyServiceBus::runAs([&] {
        KeyServiceClient client(address);
        const Bytes token = client.authorize(handle, "Photos", 1, std::chrono::seconds(5));
        bus->polkit().pauseAuthority(true);
        const pid_t asker = flood(address, "IsAvailable", 1);
        ::usleep(200 * 1000);
        const auto start = std::chrono::steady_clock::now();
        const std::string how = nameOf([&] { client.agree(token, handle, publicKey); });
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        bus->polkit().pauseAuthority(false);
        ::waitpid(asker, nullptr, 0);
        return how + " " + std::to_string(ms);
    });
    ASSERT_EQ(agreed.rfind("answered ", 0), 0u) << agreed;
    EXPECT_LT(std::stol(agreed.substr(9)), 2000) << "ms for an agreement while the authority hangs";
}

// ---------------------------------------------------------------- programs of the same user

// Other programs of the user keep prompts open: one of each program at most
// (a new request replaces its older one), and the app's own request is still
// taken (the user's oldest gives way).
TEST_F(QuickUnlockServiceTest, OtherProgramsOfTheUserCannotKeepTheAppOut) {
    const Bytes handle = makeKey().first;
    const std::string address = bus->address();
    bus->polkit().scriptAnswers({"hang", "hang", "hang", "hang", "hang", "hang", "allow"});
    vaulttest::TempDir programs{"hc-programs"};
    fs::permissions(programs.path(), fs::perms(0755));
    std::string handleArg = "array:byte:";
    for (std::size_t i = 0; i < handle.size(); ++i)
        handleArg += (i ? "," : "") + std::to_string(handle[i]);
    // Two copies of one program asking twice each, and four other programs.
    std::vector<fs::path> exes;
    for (int i = 0; i < 5; ++i) {
        exes.push_back(programs / ("asker" + std::to_string(i)));
        fs::copy_file("/usr/bin/dbus-send", exes.back());
    }
    auto& polkit = bus->polkit();
    const std::string got = KeyServiceBus::runAs([&] {
        std::vector<pid_t> askers;
        const std::vector<fs::path> order{exes[0], exes[0], exes[1], exes[2], exes[3], exes[4]};
        for (const auto& exe : order) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execl(exe.c_str(), exe.c_str(), ("--bus=" + address).c_str(), "--print-reply",
                        "--reply-timeout=60000", "--dest=app.hushcoffer.KeyService1",
                        "/app/hushcoffer/KeyService1", "app.hushcoffer.KeyService1.Authorize",
                        handleArg.c_str(), "string:Photos", "uint32:1", "uint32:60000",
                        static_cast<char*>(nullptr));
                ::_exit(127);
            }
            askers.push_back(pid);
            const int before = static_cast<int>(askers.size());
            vaulttest::waitUntil([&] { return polkit.checkCount() >= before; }, 20);
        }
        const std::string app = nameOf([&] {
            KeyServiceClient(address).authorize(handle, "Photos", 1, std::chrono::milliseconds(1500));
        });
        const int cancels = polkit.cancelCount();
        for (const pid_t pid : askers) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        return app + " " + std::to_string(cancels);
    });
    // Withdrawn: the first program's older request, the user's oldest when
    // the fifth program asked, and the oldest again for the app.
    EXPECT_EQ(got, "answered 3");
}

// ---------------------------------------------------------------- revocation

TEST_F(QuickUnlockServiceTest, ARevokedKeyIsInvalidatedBeforeAnyPrompt) {
    const auto [handle, publicKey] = makeKey();
    const auto [otherHandle, otherPublic] = makeKey();
    const auto sealed = Sealing::seal("the password", publicKeyOf(publicKey));
    EXPECT_EQ(openAs(sealed, handle, publicKey), "opened: the password");
    // Another user cannot revoke hctest's key.
    EXPECT_EQ(KeyServiceBus::runAs(
                  [&] {
                      TpmPolkitQuickUnlock::Options o = options();
                      return outcomeOf([&] { TpmPolkitQuickUnlock(o).revokeKey(handle); });
                  },
                  "root"),
              outcome(VaultError::touchID("the key belongs to another user")));
    EXPECT_EQ(asUser([&] { return outcomeOf([&] { QuickUnlockKey::revoke(handle); }); }), "ok");
    const int checks = bus->polkit().checkCount();
    EXPECT_EQ(openAs(sealed, handle, publicKey), outcome(VaultError::touchIDInvalidated()));
    EXPECT_EQ(bus->polkit().checkCount(), checks) << "no prompt for a revoked key";
    EXPECT_EQ(asUser([&] { return outcomeOf([&] { QuickUnlockKey::revoke(handle); }); }), "ok")
        << "twice is no failure";
    EXPECT_EQ(openAs(Sealing::seal("other", publicKeyOf(otherPublic)), otherHandle, otherPublic),
              "opened: other")
        << "the user's other key still works";
}

// ---------------------------------------------------------------- secrets in memory

namespace {

// Where the memory of process `pid` holds `needle` (the mapping's line of
// /proc/PID/maps), "" when nowhere it can be read.
std::string whereHeld(pid_t pid, const Bytes& needle) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    if (mem < 0) throw std::runtime_error("cannot read the service's memory");
    std::string line;
    std::string where;
    while (where.empty() && std::getline(maps, line)) {
        unsigned long from = 0, to = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3 || perms[0] != 'r') continue;
        if (line.find("[vvar") != std::string::npos || line.find("[vsyscall]") != std::string::npos) continue;
        // Read in pieces that overlap by the needle's length; a reservation
        // of terabytes (a sanitizer's shadow memory) holds nothing of ours.
        if (to - from > (1ul << 32)) continue;
        constexpr size_t piece = 1 << 20;
        std::vector<std::uint8_t> buf(piece + needle.size());
        for (unsigned long at = from; at < to && where.empty(); at += piece) {
            const size_t want = std::min<unsigned long>(buf.size(), to - at);
            const ssize_t n = ::pread(mem, buf.data(), want, static_cast<off_t>(at));
            if (n <= 0) break;
            if (std::search(buf.begin(), buf.begin() + n, needle.begin(), needle.end()) != buf.begin() + n)
                where = line;
        }
    }
    ::close(mem);
    return where;
}

} // namespace

// After an unlock whose connection has closed, the service's memory holds
// neither the key's value, nor the token, nor the shared secret.
TEST_F(QuickUnlockServiceTest, NoSecretOfAnUnlockStaysInTheServicesMemory) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator keeps freed blocks as they were (its
    // quarantine) and ignores the C library's perturbing of freed memory;
    // the release build checks the service as it ships.
    GTEST_SKIP() << "not meaningful with AddressSanitizer's allocator";
#endif
    const auto [handle, publicKey] = makeKey();
    const std::string address = bus->address();
    const std::string got = KeyServiceBus::runAs([&] {
        KeyServiceClient client(address);
        const Bytes token = client.authorize(handle, "Photos", 1, std::chrono::seconds(5));
        // A valid point: the key's own public key.
        const Bytes shared = client.agree(token, handle, publicKey);
        return hex(token) + " " + hex(shared);
    });
    const auto space = got.find(' ');
    ASSERT_NE(space, std::string::npos) << got;
    const Bytes token = unhex(got.substr(0, space));
    const Bytes shared = unhex(got.substr(space + 1));
    ASSERT_EQ(shared.size(), 32u);

    // The key's value, as the service derives it.
    Bytes secret(32);
    {
        std::ifstream in(stateDir() / "secret", std::ios::binary);
        in.read(reinterpret_cast<char*>(secret.data()), 32);
    }
    std::string message = "hushcoffer quick unlock key v1";
    const uid_t uid = KeyServiceBus::uidOf("hctest");
    for (int shift = 24; shift >= 0; shift -= 8)
        message.push_back(static_cast<char>(uid >> shift & 0xff));
    Bytes auth(32);
    unsigned int size = 0;
    HMAC(EVP_sha256(), secret.data(), 32, reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), auth.data(), &size);

    const std::string service = bus->serviceName();
    ASSERT_FALSE(service.empty());
    const auto r = vaultkit::Exec::runSync(
        "/usr/bin/dbus-send",
        {"--bus=" + address, "--print-reply=literal", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
         "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + service},
        std::nullopt, 5);
    ASSERT_EQ(r.status, 0);
    std::string text = r.stdoutText();
    const pid_t pid =
        static_cast<pid_t>(std::stol(text.substr(text.find_last_of(' ', text.find_last_not_of(" \n")) + 1)));
    EXPECT_EQ(whereHeld(pid, auth), "") << "the key's value";
    EXPECT_EQ(whereHeld(pid, token), "") << "the token";
    EXPECT_EQ(whereHeld(pid, shared), "") << "the shared secret";
    EXPECT_NE(whereHeld(pid, Bytes(handle.begin() + 8, handle.begin() + 40)), "")
        << "the search finds what is there";
}

// ---------------------------------------------------------------- the boot state

// Where the firmware measures the boot state (PCR 7), a key is bound to it: a
// disk and TPM booted otherwise (other media, Secure Boot changed) open
// nothing, and the key counts as lost (the password is asked). Without a
// measurement the key is not bound, and says so.
TEST_F(QuickUnlockServiceTest, KeysAreBoundToTheMeasuredBootState) {
    const auto [unbound, unboundPublic] = makeKey();
    EXPECT_FALSE(TpmKeyPolicy::boundToBootState(KeyServiceProtocol::decodeHandle(unbound)->tpmBlobs));
    TpmPolkitQuickUnlock provider(options());
    EXPECT_EQ(provider.bootStateBinding(unbound), std::optional<bool>(false));
    EXPECT_EQ(provider.bootStateBinding(Bytes{1, 2, 3}), std::nullopt) << "not a handle of the service";

    vaulttest::extendPcr(tpm->transport(), 7); // the firmware's measurement
    const auto [handle, publicKey] = makeKey();
    EXPECT_EQ(provider.bootStateBinding(handle), std::optional<bool>(true));
    const auto sealed = Sealing::seal("the password", publicKeyOf(publicKey));
    EXPECT_EQ(openAs(sealed, handle, publicKey), "opened: the password");

    vaulttest::extendPcr(tpm->transport(), 7); // booted otherwise
    EXPECT_EQ(openAs(sealed, handle, publicKey), outcome(VaultError::touchIDInvalidated()));
    // A key made without a measurement stays usable.
    EXPECT_EQ(openAs(Sealing::seal("unbound", publicKeyOf(unboundPublic)), unbound, unboundPublic),
              "opened: unbound");
}

// One user making keys in a burst is stopped; another user is not.
TEST_F(QuickUnlockServiceTest, KeyCreationIsLimitedPerUser) {
    const std::string address = bus->address();
    const auto makeKeys = [&](int n, const std::string& user) {
        return KeyServiceBus::runAs(
            [&] {
                KeyServiceClient client(address);
                std::string out;
                for (int i = 0; i < n; ++i)
                    out += (out.empty() ? "" : ";") + nameOf([&] { client.createKey(); });
                return out;
            },
            user);
    };
    std::string eight;
    for (int i = 0; i < 8; ++i)
        eight += (i ? ";" : "") + std::string("answered");
    EXPECT_EQ(makeKeys(9, "hctest"), eight + ";" + KeyServiceProtocol::errorLimitsExceeded);
    EXPECT_EQ(makeKeys(1, "root"), "answered");
}
