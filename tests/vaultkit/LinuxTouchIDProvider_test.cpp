// The Linux biometric provider against a software TPM started by the test and
// a mocked polkit authority on a private bus.
#include "vaultkit/LinuxTouchIDProvider.h"
#include "vaultkit/P256KeyPair.h"
#include "vaultkit/Sealing.h"
#include "vaultkit/TouchIDKey.h"
#include "vaultkit/TpmDevice.h"
#include "vaultkit/VaultError.h"

#include "support/PolkitAuthorityMock.h"
#include "support/SoftwareTouchIDProvider.h"
#include "support/SoftwareTpm.h"
#include "support/ExpectVaultError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using vaultkit::CryptoError;
using vaultkit::LinuxTouchIDProvider;
using vaultkit::P256KeyPair;
using vaultkit::TouchIDContext;
using vaultkit::TouchIDKey;
using vaultkit::TpmDevice;
using vaultkit::VaultError;
using vaulttest::PolkitAuthorityMock;
using vaulttest::SoftwareTpm;
namespace Sealing = vaultkit::Sealing;

namespace {

using vaulttest::vaultErrorOf;

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const vaultkit::P256PublicKey& key) {
    return Bytes(key.x963.begin(), key.x963.end());
}

#define SKIP_WITHOUT_SWTPM()                                                                                 \
    if (!SoftwareTpm::installed())                                                                           \
    GTEST_SKIP() << "swtpm is not installed (scripts/install-deps installs "                                 \
                    "it)"

// A handle split into its two blobs (each a 2-byte big-endian size and its
// bytes), to build damaged ones.
struct Blobs {
    Bytes pub, priv;
    explicit Blobs(const Bytes& handle) {
        const std::size_t n = 2u + static_cast<std::size_t>(handle[0] << 8 | handle[1]);
        pub.assign(handle.begin(), handle.begin() + static_cast<std::ptrdiff_t>(n));
        priv.assign(handle.begin() + static_cast<std::ptrdiff_t>(n), handle.end());
    }
};
Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

class TpmDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        tpm = std::make_unique<SoftwareTpm>();
    }
    std::unique_ptr<SoftwareTpm> tpm;
};

class LinuxTouchIDProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        tpm = std::make_unique<SoftwareTpm>();
        polkit =
            std::make_unique<PolkitAuthorityMock>(std::vector<std::string>{LinuxTouchIDProvider::actionId});
        provider = std::make_shared<LinuxTouchIDProvider>(options());
        TouchIDKey::setProvider(provider);
    }
    void TearDown() override { TouchIDKey::setProvider(nullptr); }

    LinuxTouchIDProvider::Options options() const {
        LinuxTouchIDProvider::Options o;
        o.tpmTransport = tpm->transport();
        o.busAddress = polkit->address();
        o.promptTimeout = std::chrono::milliseconds(1500);
        return o;
    }

    std::unique_ptr<SoftwareTpm> tpm;
    std::unique_ptr<PolkitAuthorityMock> polkit;
    std::shared_ptr<LinuxTouchIDProvider> provider;
};

} // namespace

// ---------------------------------------------------------------- the TPM key

TEST_F(TpmDeviceTest, KeyAgreementMatchesTheSoftwareSideAndSurvivesRestarts) {
    const TpmDevice device(tpm->transport());
    EXPECT_TRUE(device.answers());
    const auto key = device.createKey();
    const auto other = device.createKey();
    EXPECT_NE(key.handle, other.handle);
    EXPECT_NE(key.publicKey, other.publicKey);

    // ECDH in the TPM gives the same shared secret as ECDH in software with
    // the key's public half.
    const P256KeyPair ephemeral = P256KeyPair::generate();
    {
        auto agree = device.loadKey(key.handle);
        ASSERT_TRUE(agree.has_value());
        EXPECT_EQ((*agree)(ephemeral.publicKey()), ephemeral.agree(key.publicKey));
        // A point that is not on the curve is refused by the TPM.
        vaultkit::P256PublicKey offCurve = ephemeral.publicKey();
        offCurve.x963[64] ^= 1;
        EXPECT_THROW((*agree)(offCurve), CryptoError);
    }

    // Loading leaves nothing in the TPM: a software TPM has three object
    // slots, so leaking would fail well before twenty loads.
    const auto sealed = Sealing::seal("correct horse battery", key.publicKey);
    for (int i = 0; i < 20; ++i) {
        auto agree = device.loadKey(key.handle);
        ASSERT_TRUE(agree.has_value()) << "load " << i;
        ASSERT_EQ(Sealing::open(sealed, *agree, key.publicKey), "correct horse battery");
    }

    // The storage key is made again from the same seed after a reboot.
    tpm->restart();
    auto agree = device.loadKey(key.handle);
    ASSERT_TRUE(agree.has_value());
    EXPECT_EQ(Sealing::open(sealed, *agree, key.publicKey), "correct horse battery");
}

TEST_F(TpmDeviceTest, HandlesThisTpmCannotLoadGiveNothing) {
    const TpmDevice device(tpm->transport());
    const auto key = device.createKey();
    const auto second = device.createKey();
    const Blobs blobs(key.handle), secondBlobs(second.handle);

    SoftwareTpm otherTpm;
    const auto foreign = TpmDevice(otherTpm.transport()).createKey();

    Bytes flippedPrivate = key.handle;
    flippedPrivate[flippedPrivate.size() - 5] ^= 0x01;
    struct Case {
        const char* name;
        Bytes handle;
    };
    const std::vector<Case> cases{
        {"made by another TPM", foreign.handle},
        {"empty", {}},
        {"public blob only", blobs.pub},
        {"truncated", Bytes(key.handle.begin(), key.handle.end() - 1)},
        {"trailing byte", concat(key.handle, {0})},
        {"private blob damaged", flippedPrivate},
        {"private blob of another key", concat(blobs.pub, secondBlobs.priv)},
        {"garbage", Bytes(200, 0x41)},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(device.loadKey(c.handle).has_value()) << c.name;
    }
    // The good handle still loads after all that.
    EXPECT_TRUE(device.loadKey(key.handle).has_value());
}

TEST_F(TpmDeviceTest, UnreachableTpmIsAnErrorNotAForeignHandle) {
    const auto key = TpmDevice(tpm->transport()).createKey();
    tpm->stop();
    for (const std::string& transport :
         {tpm->transport(), std::string("device:/nonexistent/tpmrm0"), std::string("tcp:localhost")}) {
        const TpmDevice device(transport);
        EXPECT_FALSE(device.answers()) << transport;
        EXPECT_THROW(device.loadKey(key.handle), TpmDevice::Error) << transport;
        EXPECT_THROW(device.createKey(), TpmDevice::Error) << transport;
    }
    // A machine without a TPM: asked at every look at the unlock options, so
    // no line of the TPM stack may reach the terminal the app was started from.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(TpmDevice("device:/nonexistent/tpmrm0").answers());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------- the prompt

TEST_F(LinuxTouchIDProviderTest, PromptAnswersMapToOutcomes) {
    struct Case {
        const char* answer;
        std::optional<VaultError> expected; // nothing: the check passes
    };
    const std::vector<Case> cases{
        {"allow", std::nullopt},
        {"dismiss", VaultError::touchIDCancelled()},
        {"refuse", VaultError::touchID("the system did not confirm that it is you")},
        {"noagent", VaultError::touchID("no authentication agent is running to confirm that it is you")},
        // Unanswered within the time limit: withdrawn, as if dismissed.
        {"hang", VaultError::touchIDCancelled()},
    };
    int checks = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        polkit->scriptAnswers({c.answer});
        if (c.expected) {
            EXPECT_EQ(vaultErrorOf([] { TouchIDKey::authenticate("Unlock Photos"); }), c.expected);
        } else {
            EXPECT_FALSE(TouchIDKey::authenticate("Unlock Photos").empty());
        }
        EXPECT_EQ(polkit->checkCount(), ++checks);
    }
    EXPECT_EQ(polkit->cancelCount(), 1) << "the unanswered check is withdrawn";

    // The question: this process's own bus connection, the unlock action,
    // with user interaction allowed.
    polkit->scriptAnswers({"allow"});
    TouchIDKey::authenticate("r");
    const std::string last = polkit->lastCheck();
    EXPECT_EQ(last.rfind("system-bus-name :", 0), 0u) << last;
    EXPECT_NE(last.find(std::string(" ") + LinuxTouchIDProvider::actionId + " 1"), std::string::npos) << last;
}

TEST_F(LinuxTouchIDProviderTest, AuthorityErrorsBecomeTouchIDErrors) {
    // The action is not installed: the authority answers with an error.
    polkit->setActions({});
    auto error = vaultErrorOf([] { TouchIDKey::authenticate("r"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), VaultError::touchID("").kind());
    EXPECT_NE(std::string(error->what()).find("not registered"), std::string::npos) << error->what();

    // No authority on the bus at all.
    polkit->stopAuthority();
    error = vaultErrorOf([] { TouchIDKey::authenticate("r"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), VaultError::touchID("").kind());

    // No bus.
    auto o = options();
    o.busAddress = "unix:path=/nonexistent/bus";
    TouchIDKey::setProvider(std::make_shared<LinuxTouchIDProvider>(o));
    error = vaultErrorOf([] { TouchIDKey::authenticate("r"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), VaultError::touchID("").kind());
}

// ---------------------------------------------------------------- keys and contexts

TEST_F(LinuxTouchIDProviderTest, KeysOpenWithAPassedContextOfThisProviderOnly) {
    const auto key = TouchIDKey::createKey();
    EXPECT_EQ(polkit->checkCount(), 0) << "making a key needs no prompt";
    const auto first = Sealing::seal("first password", key.publicKey);
    const auto second = Sealing::seal("zweites Passwort ✓", key.publicKey);

    const TouchIDContext context = TouchIDKey::authenticate("r");
    EXPECT_EQ(TouchIDKey::open(first, key.handle, bytesOf(key.publicKey), context), "first password");
    EXPECT_EQ(TouchIDKey::open(second, key.handle, bytesOf(key.publicKey), context), "zweites Passwort ✓");
    EXPECT_EQ(polkit->checkCount(), 1);

    // No context, or one another provider issued.
    vaulttest::SoftwareTouchIDProvider software;
    for (const TouchIDContext& bad : {TouchIDContext(), software.authenticate("r").context}) {
        auto error = vaultErrorOf([&] { TouchIDKey::open(first, key.handle, bytesOf(key.publicKey), bad); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, VaultError::touchID("authentication context not valid"));
    }

    // Another TPM (another computer, or this one after a TPM clear).
    SoftwareTpm otherTpm;
    auto o = options();
    o.tpmTransport = otherTpm.transport();
    auto elsewhere = std::make_shared<LinuxTouchIDProvider>(o);
    TouchIDKey::setProvider(elsewhere);
    const TouchIDContext otherContext = TouchIDKey::authenticate("r");
    EXPECT_EQ(
        vaultErrorOf([&] { TouchIDKey::open(first, key.handle, bytesOf(key.publicKey), otherContext); }),
        VaultError::touchIDInvalidated());

    // The TPM is gone: that is a failure, not an invalidated key.
    TouchIDKey::setProvider(provider);
    tpm->stop();
    auto error = vaultErrorOf([&] { TouchIDKey::open(first, key.handle, bytesOf(key.publicKey), context); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), VaultError::touchID("").kind());
}

TEST_F(LinuxTouchIDProviderTest, CreatingAKeyNeedsTheActionAndTheTpm) {
    polkit->setActions({"org.example.other"});
    auto error = vaultErrorOf([] { TouchIDKey::createKey(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error,
              VaultError::touchID("the system's authorization action for Hushcoffer is not installed"));

    polkit->setActions({LinuxTouchIDProvider::actionId});
    tpm->stop();
    error = vaultErrorOf([] { TouchIDKey::createKey(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), VaultError::touchID("").kind());
}

TEST_F(LinuxTouchIDProviderTest, AvailableOnlyWithTpmAuthorityAndAction) {
    EXPECT_TRUE(TouchIDKey::isAvailable());

    polkit->setActions({"org.example.other"});
    EXPECT_FALSE(TouchIDKey::isAvailable()) << "action not installed";
    polkit->setActions({LinuxTouchIDProvider::actionId});
    EXPECT_TRUE(TouchIDKey::isAvailable());

    {
        // Without a TPM.
        auto o = options();
        o.tpmTransport = "device:/nonexistent/tpmrm0";
        EXPECT_FALSE(LinuxTouchIDProvider(o).isAvailable());
    }
    {
        // A bus without the authority.
        PolkitAuthorityMock empty({LinuxTouchIDProvider::actionId}, /*withAuthority=*/false);
        auto o = options();
        o.busAddress = empty.address();
        EXPECT_FALSE(LinuxTouchIDProvider(o).isAvailable());
    }
    tpm->stop();
    EXPECT_FALSE(TouchIDKey::isAvailable()) << "TPM stopped";
    EXPECT_EQ(polkit->checkCount(), 0) << "asking for availability shows no prompt";
}

// The product's provider talks to the system bus socket itself: a bus address
// from the environment must not redirect the question.
TEST_F(LinuxTouchIDProviderTest, DefaultProviderIgnoresTheBusAddressOfTheEnvironment) {
    TouchIDKey::setProvider(nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<LinuxTouchIDProvider>(TouchIDKey::provider()), nullptr);

    const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", polkit->address().c_str(), 1);
    // (Only availability is asked: a real system bus may have an agent that
    // would show a dialog.) The TPM is the test's, so that the question
    // reaches the bus.
    LinuxTouchIDProvider::Options product;
    product.tpmTransport = tpm->transport();
    EXPECT_FALSE(LinuxTouchIDProvider(product).isAvailable());
    if (saved)
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved->c_str(), 1);
    else
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(polkit->callCount(), 0);
}
