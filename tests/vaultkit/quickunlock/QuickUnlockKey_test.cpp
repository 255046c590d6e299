#include "vaultkit/crypto/P256KeyPair.h"
#include "vaultkit/crypto/Sealing.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"

#include "support/SoftwareQuickUnlock.h"
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
using vaultkit::QuickUnlockContext;
using vaultkit::QuickUnlockKey;
using vaultkit::QuickUnlockInterface;
using vaultkit::VaultError;
using vaulttest::SoftwareQuickUnlock;
namespace Sealing = vaultkit::Sealing;

namespace {

using vaulttest::vaultErrorOf;

using Bytes = std::vector<std::uint8_t>;
using Kind = QuickUnlockInterface::AuthOutcome::Kind;

Bytes bytesOf(const P256PublicKey& key) {
    return Bytes(key.x963.begin(), key.x963.end());
}

// A provider whose prompt answers with whatever the test sets, including
// answers the software provider never gives (a VaultError thrown, success
// without a context).
class AnsweringProvider final : public QuickUnlockInterface {
public:
    std::function<AuthOutcome()> answer;
    bool isAvailable() override { throw std::runtime_error("no service"); }
    AuthOutcome authenticate(const std::string&) override { return answer(); }
    std::optional<Sealing::Agree> loadKey(const Bytes&, const QuickUnlockContext&) override {
        return std::nullopt;
    }
    CreatedKey createKey() override { throw AccessControlError(""); }
};

class QuickUnlockKeyTest : public ::testing::Test {
protected:
    void SetUp() override { QuickUnlockKey::setProvider(provider); }
    void TearDown() override { QuickUnlockKey::setProvider(nullptr); }

    std::shared_ptr<SoftwareQuickUnlock> provider = std::make_shared<SoftwareQuickUnlock>();
};

} // namespace

// Every way a prompt can end, as the rest of the library sees it.
TEST_F(QuickUnlockKeyTest, PromptOutcomesMapToVaultErrors) {
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
        auto error = vaultErrorOf([] { QuickUnlockKey::authenticate("unlock"); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, c.expected) << "kind " << static_cast<int>(c.kind) << " got " << error->what();
    }
    EXPECT_EQ(provider->promptCount(), static_cast<int>(cases.size()));
}

TEST_F(QuickUnlockKeyTest, ProviderExceptionsBecomeTouchIDErrorsAndVaultErrorsPass) {
    provider->scriptThrow("device busy");
    EXPECT_EQ(vaultErrorOf([] { QuickUnlockKey::authenticate("r"); }), VaultError::touchID("device busy"));

    auto answering = std::make_shared<AnsweringProvider>();
    QuickUnlockKey::setProvider(answering);
    answering->answer = []() -> QuickUnlockInterface::AuthOutcome { throw VaultError::notLocked(); };
    EXPECT_EQ(vaultErrorOf([] { QuickUnlockKey::authenticate("r"); }), VaultError::notLocked());
    // Success without a context gives nothing a key could be used with.
    answering->answer = [] { return QuickUnlockInterface::AuthOutcome::passed(QuickUnlockContext()); };
    EXPECT_EQ(vaultErrorOf([] { QuickUnlockKey::authenticate("r"); }),
              VaultError::touchID("no authentication context"));
    // A provider that fails to answer whether it is available is not.
    EXPECT_FALSE(QuickUnlockKey::isAvailable());
    // An access-control failure without a text.
    EXPECT_EQ(vaultErrorOf([] { QuickUnlockKey::createKey(); }), VaultError::touchID("access control"));
}

TEST_F(QuickUnlockKeyTest, SealedCopyOpensWithOnePromptForSeveralOpenings) {
    EXPECT_TRUE(QuickUnlockKey::isAvailable());
    const auto key = QuickUnlockKey::createKey();
    EXPECT_EQ(provider->promptCount(), 0) << "making a key needs no prompt";
    EXPECT_TRUE(vaultkit::P256KeyPair::isCompactRepresentable(key.publicKey));

    const SealedSecret first = Sealing::seal("first password", key.publicKey);
    const SealedSecret second = Sealing::seal("zweites Passwort ✓", key.publicKey);
    const QuickUnlockContext context = QuickUnlockKey::authenticate("Unlock Photos");
    EXPECT_EQ(QuickUnlockKey::open(first, key.handle, bytesOf(key.publicKey), context), "first password");
    EXPECT_EQ(QuickUnlockKey::open(second, key.handle, bytesOf(key.publicKey), context), "zweites Passwort ✓");
    EXPECT_EQ(provider->promptCount(), 1);
    EXPECT_EQ(provider->reasons(), std::vector<std::string>{"Unlock Photos"});
    EXPECT_EQ(provider->agreeCount(), 2);
}

TEST_F(QuickUnlockKeyTest, HandleOfAnotherDeviceOrEnrolmentIsInvalidated) {
    const auto key = QuickUnlockKey::createKey();
    const SealedSecret sealed = Sealing::seal("password", key.publicKey);

    // Another computer: a provider with its own device secret.
    auto other = std::make_shared<SoftwareQuickUnlock>();
    QuickUnlockKey::setProvider(other);
    const QuickUnlockContext otherContext = QuickUnlockKey::authenticate("r");
    EXPECT_EQ(
        vaultErrorOf([&] { QuickUnlockKey::open(sealed, key.handle, bytesOf(key.publicKey), otherContext); }),
        VaultError::touchIDInvalidated());
    EXPECT_EQ(other->promptCount(), 1) << "the handle is refused after the prompt has passed";

    // The same computer after the enrolled fingerprints changed.
    QuickUnlockKey::setProvider(provider);
    const QuickUnlockContext context = QuickUnlockKey::authenticate("r");
    EXPECT_EQ(QuickUnlockKey::open(sealed, key.handle, bytesOf(key.publicKey), context), "password");
    provider->forgetEnrolment();
    EXPECT_EQ(vaultErrorOf([&] { QuickUnlockKey::open(sealed, key.handle, bytesOf(key.publicKey), context); }),
              VaultError::touchIDInvalidated());

    // Garbage and empty handles.
    for (const Bytes& handle : {Bytes{}, Bytes(68, 0x41), Bytes(3, 1)}) {
        EXPECT_EQ(vaultErrorOf([&] { QuickUnlockKey::open(sealed, handle, bytesOf(key.publicKey), context); }),
                  VaultError::touchIDInvalidated());
    }
}

TEST_F(QuickUnlockKeyTest, CryptographicFailuresPassThrough) {
    const auto key = QuickUnlockKey::createKey();
    const auto otherKey = QuickUnlockKey::createKey();
    const QuickUnlockContext context = QuickUnlockKey::authenticate("r");
    const SealedSecret sealed = Sealing::seal("password", key.publicKey);

    // Sealed to another key: the box does not authenticate.
    const SealedSecret foreign = Sealing::seal("password", otherKey.publicKey);
    EXPECT_THROW(QuickUnlockKey::open(foreign, key.handle, bytesOf(key.publicKey), context), CryptoError);
    // A stored public key that does not decode.
    Bytes badPublic = bytesOf(key.publicKey);
    badPublic[0] = 0x02;
    EXPECT_THROW(QuickUnlockKey::open(sealed, key.handle, badPublic, context), CryptoError);
    EXPECT_THROW(QuickUnlockKey::open(sealed, key.handle, Bytes(64, 4), context), CryptoError);
    // The wrong recipient in the key derivation.
    EXPECT_THROW(QuickUnlockKey::open(sealed, key.handle, bytesOf(otherKey.publicKey), context), CryptoError);
    // A tampered box.
    SealedSecret tampered = sealed;
    tampered.box.back() ^= 1;
    EXPECT_THROW(QuickUnlockKey::open(tampered, key.handle, bytesOf(key.publicKey), context), CryptoError);
}

TEST_F(QuickUnlockKeyTest, KeysAreUsableOnlyWithAPassedContext) {
    const auto key = QuickUnlockKey::createKey();
    const SealedSecret sealed = Sealing::seal("password", key.publicKey);
    EXPECT_THROW(QuickUnlockKey::open(sealed, key.handle, bytesOf(key.publicKey), QuickUnlockContext()),
                 std::runtime_error);
    auto other = std::make_shared<SoftwareQuickUnlock>();
    const QuickUnlockContext foreignContext = other->authenticate("r").context;
    EXPECT_THROW(QuickUnlockKey::open(sealed, key.handle, bytesOf(key.publicKey), foreignContext),
                 std::runtime_error);
    EXPECT_EQ(provider->agreeCount(), 0);
}

TEST_F(QuickUnlockKeyTest, AvailabilityAndKeyCreationFailures) {
    provider->setAvailable(false);
    EXPECT_FALSE(QuickUnlockKey::isAvailable());
    provider->failNextCreate("secure hardware busy");
    EXPECT_EQ(vaultErrorOf([] { QuickUnlockKey::createKey(); }), VaultError::touchID("secure hardware busy"));
    // Only the next one fails.
    EXPECT_NO_THROW(QuickUnlockKey::createKey());
}
