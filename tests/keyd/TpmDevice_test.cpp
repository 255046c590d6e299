// The TPM keys of quick unlock against a software TPM started by the test.
#include "vaultkit/crypto/P256KeyPair.h"
#include "vaultkit/crypto/Sealing.h"
#include "keyd/TpmDevice.h"

#include "support/SoftwareTpm.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using vaultkit::CryptoError;
using vaultkit::P256KeyPair;
using vaultkit::TpmDevice;
using vaulttest::SoftwareTpm;
namespace Sealing = vaultkit::Sealing;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Two different secret values.
TpmDevice::Auth authOf(std::uint8_t fill) {
    TpmDevice::Auth a;
    a.fill(fill);
    a[31] = 0x5a;
    return a;
}
const TpmDevice::Auth kAuth = authOf(0x11);
const TpmDevice::Auth kOtherAuth = authOf(0x22);

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
        if (!SoftwareTpm::installed()) GTEST_SKIP() << "swtpm is not installed (scripts/install-deps installs it)";
        tpm = std::make_unique<SoftwareTpm>();
    }
    std::unique_ptr<SoftwareTpm> tpm;
};

} // namespace

// ---------------------------------------------------------------- the TPM key

TEST_F(TpmDeviceTest, KeyAgreementMatchesTheSoftwareSideAndSurvivesRestarts) {
    const TpmDevice device(tpm->transport());
    EXPECT_TRUE(device.answers());
    const auto key = device.createKey(kAuth);
    const auto other = device.createKey(kAuth);
    EXPECT_NE(key.handle, other.handle);
    EXPECT_NE(key.publicKey, other.publicKey);

    // ECDH in the TPM gives the same shared secret as ECDH in software with
    // the key's public half.
    const P256KeyPair ephemeral = P256KeyPair::generate();
    {
        auto agree = device.loadKey(key.handle, kAuth);
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
        auto agree = device.loadKey(key.handle, kAuth);
        ASSERT_TRUE(agree.has_value()) << "load " << i;
        ASSERT_EQ(Sealing::open(sealed, *agree, key.publicKey), "correct horse battery");
    }

    // The storage key is made again from the same seed after a reboot.
    tpm->restart();
    auto agree = device.loadKey(key.handle, kAuth);
    ASSERT_TRUE(agree.has_value());
    EXPECT_EQ(Sealing::open(sealed, *agree, key.publicKey), "correct horse battery");
}

TEST_F(TpmDeviceTest, HandlesThisTpmCannotLoadGiveNothing) {
    const TpmDevice device(tpm->transport());
    const auto key = device.createKey(kAuth);
    const auto second = device.createKey(kAuth);
    const Blobs blobs(key.handle), secondBlobs(second.handle);

    SoftwareTpm otherTpm;
    const auto foreign = TpmDevice(otherTpm.transport()).createKey(kAuth);

    Bytes withUserAuth = key.handle;
    withUserAuth[9] |= 0x40; // TPMA_OBJECT_USERWITHAUTH in the public area's attributes
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
        // The attributes say whether the plain value alone opens the key.
        {"user role opened to the plain value", withUserAuth},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(device.loadKey(c.handle, kAuth).has_value()) << c.name;
    }
    // The good handle still loads after all that.
    EXPECT_TRUE(device.loadKey(key.handle, kAuth).has_value());
}

TEST_F(TpmDeviceTest, UnreachableTpmIsAnErrorNotAForeignHandle) {
    const auto key = TpmDevice(tpm->transport()).createKey(kAuth);
    tpm->stop();
    for (const std::string& transport :
         {tpm->transport(), std::string("device:/nonexistent/tpmrm0"), std::string("tcp:localhost")}) {
        const TpmDevice device(transport);
        EXPECT_FALSE(device.answers()) << transport;
        EXPECT_THROW(device.loadKey(key.handle, kAuth), TpmDevice::Error) << transport;
        EXPECT_THROW(device.createKey(kAuth), TpmDevice::Error) << transport;
    }
    // A machine without a TPM: asked at every look at the unlock options, so
    // no line of the TPM stack may reach the terminal the app was started from.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(TpmDevice("device:/nonexistent/tpmrm0").answers());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}


// The key's secret value is the key's lock: without it neither the handle nor
// the device gets a key agreement, and refusing it leaves the TPM usable (no
// lockout).
TEST_F(TpmDeviceTest, KeyAgreementNeedsTheKeysSecretValue) {
    const TpmDevice device(tpm->transport());
    const auto key = device.createKey(kAuth);
    const P256KeyPair ephemeral = P256KeyPair::generate();
    for (int i = 0; i < 5; ++i) {
        auto wrong = device.loadKey(key.handle, kOtherAuth);
        ASSERT_TRUE(wrong.has_value()) << "loading needs no value; using the key does";
        EXPECT_THROW((*wrong)(ephemeral.publicKey()), TpmDevice::WrongAuth);
    }
    auto right = device.loadKey(key.handle, kAuth);
    ASSERT_TRUE(right.has_value());
    EXPECT_EQ((*right)(ephemeral.publicKey()), ephemeral.agree(key.publicKey));
    EXPECT_EQ((*right)(ephemeral.publicKey()), ephemeral.agree(key.publicKey)) << "a second agreement";
}
