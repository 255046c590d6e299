#include "vaultkit/crypto/P256KeyPair.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/quickunlock/TouchIDKey.h"

#include "support/SoftwareTouchIDProvider.h"
#include "support/ExpectVaultError.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using vaultkit::CryptoError;
using vaultkit::P256PublicKey;
using vaultkit::SealedSecret;
using vaultkit::TouchIDContext;
using vaultkit::TouchIDKey;
using vaultkit::TouchIDProvider;
using vaultkit::VaultError;
using vaulttest::SoftwareTouchIDProvider;
namespace Sealing = vaultkit::Sealing;

namespace {

using vaulttest::vaultErrorOf;

using Bytes = std::vector<std::uint8_t>;
using Kind = TouchIDProvider::AuthOutcome::Kind;

Bytes bytesOf(const P256PublicKey& key) {
    return Bytes(key.x963.begin(), key.x963.end());
}

// A provider whose prompt answers with whatever the test sets, including
// answers the software provider never gives (a VaultError thrown, success
// without a context).
class AnsweringProvider final : public TouchIDProvider {
public:
    std::function<AuthOutcome()> answer;
    bool isAvailable() override { throw std::runtime_error("no service"); }
    AuthOutcome authenticate(const std::string&) override { return answer(); }
    std::optional<Sealing::Agree> loadKey(const Bytes&, const TouchIDContext&) override {
        return std::nullopt;
    }
    CreatedKey createKey() override { throw AccessControlError(""); }
};

class TouchIDKeyTest : public ::testing::Test {
protected:
    void SetUp() override { TouchIDKey::setProvider(provider); }
    void TearDown() override { TouchIDKey::setProvider(nullptr); }

    std::shared_ptr<SoftwareTouchIDProvider> provider = std::make_shared<SoftwareTouchIDProvider>();
};

} // namespace

// Every way a prompt can end, as the rest of the library sees it.
TEST_F(TouchIDKeyTest, PromptOutcomesMapToVaultErrors) {
    struct Case {
        Kind kind;
        std::string text;
        VaultError expected;
    };
    const std::vector<Case> cases{
        {Kind::userCancel, "", VaultError::touchIDCancelled()},
        {Kind::userFallback, "", VaultError::touchIDCancelled()},
        {Kind::systemCancel, "", VaultError::touchIDCancelled()},
        {Kind::appCancel, "", VaultError::touchIDCancelled()},
        {Kind::noAnswer, "", VaultError::touchIDCancelled()},
        // A cancellation keeps no text even when the provider gave one.
        {Kind::userCancel, "Cancelled by user", VaultError::touchIDCancelled()},
        {Kind::failed, "Authentication failed", VaultError::touchID("Authentication failed")},
        {Kind::failed, "", VaultError::touchID("authentication failed")},
        {Kind::noAgent, "", VaultError::touchID("no authentication agent")},
        {Kind::noAgent, "no polkit agent", VaultError::touchID("no polkit agent")},
    };
    for (const auto& c : cases) {
        provider->scriptOutcome(c.kind, c.text);
        auto error = vaultErrorOf([] { TouchIDKey::authenticate("unlock"); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, c.expected) << "kind " << static_cast<int>(c.kind) << " got " << error->what();
    }
    EXPECT_EQ(provider->promptCount(), static_cast<int>(cases.size()));
}

TEST_F(TouchIDKeyTest, ProviderExceptionsBecomeTouchIDErrorsAndVaultErrorsPass) {
    provider->scriptThrow("device busy");
    EXPECT_EQ(vaultErrorOf([] { TouchIDKey::authenticate("r"); }), VaultError::touchID("device busy"));

    auto answering = std::make_shared<AnsweringProvider>();
    TouchIDKey::setProvider(answering);
    answering->answer = []() -> TouchIDProvider::AuthOutcome { throw VaultError::notLocked(); };
    EXPECT_EQ(vaultErrorOf([] { TouchIDKey::authenticate("r"); }), VaultError::notLocked());
    // Success without a context gives nothing a key could be used with.
    answering->answer = [] { return TouchIDProvider::AuthOutcome::passed(TouchIDContext()); };
    EXPECT_EQ(vaultErrorOf([] { TouchIDKey::authenticate("r"); }),
              VaultError::touchID("no authentication context"));
    // A provider that fails to answer whether it is available is not.
    EXPECT_FALSE(TouchIDKey::isAvailable());
    // An access-control failure without a text.
    EXPECT_EQ(vaultErrorOf([] { TouchIDKey::createKey(); }), VaultError::touchID("access control"));
}

TEST_F(TouchIDKeyTest, SealedCopyOpensWithOnePromptForSeveralOpenings) {
    EXPECT_TRUE(TouchIDKey::isAvailable());
    const auto key = TouchIDKey::createKey();
    EXPECT_EQ(provider->promptCount(), 0) << "making a key needs no prompt";
    EXPECT_TRUE(vaultkit::P256KeyPair::isCompactRepresentable(key.publicKey));

    const SealedSecret first = Sealing::seal("first password", key.publicKey);
    const SealedSecret second = Sealing::seal("zweites Passwort ✓", key.publicKey);
    const TouchIDContext context = TouchIDKey::authenticate("Unlock Photos");
    EXPECT_EQ(TouchIDKey::open(first, key.handle, bytesOf(key.publicKey), context), "first password");
    EXPECT_EQ(TouchIDKey::open(second, key.handle, bytesOf(key.publicKey), context), "zweites Passwort ✓");
    EXPECT_EQ(provider->promptCount(), 1);
    EXPECT_EQ(provider->reasons(), std::vector<std::string>{"Unlock Photos"});
    EXPECT_EQ(provider->agreeCount(), 2);
}

TEST_F(TouchIDKeyTest, HandleOfAnotherDeviceOrEnrolmentIsInvalidated) {
    const auto key = TouchIDKey::createKey();
    const SealedSecret sealed = Sealing::seal("password", key.publicKey);

    // Another computer: a provider with its own device secret.
    auto other = std::make_shared<SoftwareTouchIDProvider>();
    TouchIDKey::setProvider(other);
    const TouchIDContext otherContext = TouchIDKey::authenticate("r");
    EXPECT_EQ(
        vaultErrorOf([&] { TouchIDKey::open(sealed, key.handle, bytesOf(key.publicKey), otherContext); }),
        VaultError::touchIDInvalidated());
    EXPECT_EQ(other->promptCount(), 1) << "the handle is refused after the prompt has passed";

    // The same computer after the enrolled fingerprints changed.
    TouchIDKey::setProvider(provider);
    const TouchIDContext context = TouchIDKey::authenticate("r");
    EXPECT_EQ(TouchIDKey::open(sealed, key.handle, bytesOf(key.publicKey), context), "password");
    provider->forgetEnrolment();
    EXPECT_EQ(vaultErrorOf([&] { TouchIDKey::open(sealed, key.handle, bytesOf(key.publicKey), context); }),
              VaultError::touchIDInvalidated());

    // Garbage and empty handles.
    for (const Bytes& handle : {Bytes{}, Bytes(68, 0x41), Bytes(3, 1)}) {
        EXPECT_EQ(vaultErrorOf([&] { TouchIDKey::open(sealed, handle, bytesOf(key.publicKey), context); }),
                  VaultError::touchIDInvalidated());
    }
}

TEST_F(TouchIDKeyTest, CryptographicFailuresPassThrough) {
    const auto key = TouchIDKey::createKey();
    const auto otherKey = TouchIDKey::createKey();
    const TouchIDContext context = TouchIDKey::authenticate("r");
    const SealedSecret sealed = Sealing::seal("password", key.publicKey);

    // Sealed to another key: the box does not authenticate.
    const SealedSecret foreign = Sealing::seal("password", otherKey.publicKey);
    EXPECT_THROW(TouchIDKey::open(foreign, key.handle, bytesOf(key.publicKey), context), CryptoError);
    // A stored public key that does not decode.
    Bytes badPublic = bytesOf(key.publicKey);
    badPublic[0] = 0x02;
    EXPECT_THROW(TouchIDKey::open(sealed, key.handle, badPublic, context), CryptoError);
    EXPECT_THROW(TouchIDKey::open(sealed, key.handle, Bytes(64, 4), context), CryptoError);
    // The wrong recipient in the key derivation.
    EXPECT_THROW(TouchIDKey::open(sealed, key.handle, bytesOf(otherKey.publicKey), context), CryptoError);
    // A tampered box.
    SealedSecret tampered = sealed;
    tampered.box.back() ^= 1;
    EXPECT_THROW(TouchIDKey::open(tampered, key.handle, bytesOf(key.publicKey), context), CryptoError);
}

TEST_F(TouchIDKeyTest, KeysAreUsableOnlyWithAPassedContext) {
    const auto key = TouchIDKey::createKey();
    const SealedSecret sealed = Sealing::seal("password", key.publicKey);
    EXPECT_THROW(TouchIDKey::open(sealed, key.handle, bytesOf(key.publicKey), TouchIDContext()),
                 std::runtime_error);
    auto other = std::make_shared<SoftwareTouchIDProvider>();
    const TouchIDContext foreignContext = other->authenticate("r").context;
    EXPECT_THROW(TouchIDKey::open(sealed, key.handle, bytesOf(key.publicKey), foreignContext),
                 std::runtime_error);
    EXPECT_EQ(provider->agreeCount(), 0);
}

TEST_F(TouchIDKeyTest, AvailabilityAndKeyCreationFailures) {
    provider->setAvailable(false);
    EXPECT_FALSE(TouchIDKey::isAvailable());
    provider->failNextCreate("secure hardware busy");
    EXPECT_EQ(vaultErrorOf([] { TouchIDKey::createKey(); }), VaultError::touchID("secure hardware busy"));
    // Only the next one fails.
    EXPECT_NO_THROW(TouchIDKey::createKey());
}
