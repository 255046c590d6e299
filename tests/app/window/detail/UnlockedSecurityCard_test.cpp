// The line under the quick-unlock row of an unlocked vault: whether its key
// opens only in the boot state it was made in. The keys are real TPM keys of
// a software TPM, made once with nothing measured into PCR 7 (not bound) and
// once after a measurement (bound), stored as the key service stores them;
// the pane reads the platform provider's answer from the stored handle.
#include "app/model/AppModel.h"
#include "app/model/QuickUnlockAvailability.h"
#include "app/window/VaultDetail.h"
#include "keyd/TpmDevice.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "support/SoftwareTpm.h"
#include "support/Spin.h"
#include "support/TpmPcr.h"
#include "vaultkit/quickunlock/KeyServiceProtocol.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/vault/Vault.h"

#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using vaultkit::KeyServiceProtocol;
using vaultkit::TpmDevice;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

constexpr const char* rightPassword = "right password";

class UnlockedSecurityCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!vaulttest::SoftwareTpm::installed()) GTEST_SKIP() << "swtpm is not installed";
        ASSERT_TRUE(dir.isValid());
        // the platform's provider, as the application uses it
        vaultkit::QuickUnlockKey::setProvider(nullptr);
        driver = std::make_shared<uitest::MemoryDiskImage>(rightPassword);
        model = std::make_unique<AppModel>(dir.filePath(QStringLiteral("support")));
    }

    // A handle of the key service for a new key of the TPM, as it is now.
    VaultConfig::QuickUnlockConfig newKey() {
        TpmDevice::Auth auth{};
        EXPECT_EQ(RAND_bytes(auth.data(), static_cast<int>(auth.size())), 1);
        const TpmDevice::Key key = TpmDevice(tpm->transport()).createKey(auth);
        VaultConfig::QuickUnlockConfig config;
        config.handle = KeyServiceProtocol::encodeHandle(static_cast<std::uint32_t>(::getuid()), key.handle);
        config.publicKey.assign(key.publicKey.x963.begin(), key.publicKey.x963.end());
        return config;
    }

    // An unlocked vault with `touchID` as its quick-unlock record.
    std::shared_ptr<Vault> unlockedVault(const std::string& name,
                                         const std::optional<VaultConfig::QuickUnlockConfig>& touchID) {
        const fs::path vaultDir = fs::path(dir.path().toStdString()) / "vaults" / ("." + name + ".hushcoffer");
        fs::create_directories(vaultDir);
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        config.touchID = touchID;
        auto vault = std::make_shared<Vault>(vaultDir, config, driver);
        model->registerVault(vault);
        std::optional<bool> unlocked;
        model->unlock(vault, QString::fromLatin1(rightPassword), [&](bool ok) { unlocked = ok; });
        EXPECT_TRUE(uitest::spinUntil([&] { return unlocked.has_value(); }) && *unlocked) << name;
        return vault;
    }

    QTemporaryDir dir;
    std::unique_ptr<vaulttest::SoftwareTpm> tpm = std::make_unique<vaulttest::SoftwareTpm>();
    std::shared_ptr<uitest::MemoryDiskImage> driver;
    std::unique_ptr<AppModel> model;
};

} // namespace

TEST_F(UnlockedSecurityCardTest, ThePaneSaysWhetherTheKeyIsBoundToTheBootState) {
    const VaultConfig::QuickUnlockConfig unbound = newKey(); // nothing measured yet
    vaulttest::extendPcr(tpm->transport(), 7);           // the firmware measures Secure Boot
    const VaultConfig::QuickUnlockConfig bound = newKey();
    VaultConfig::QuickUnlockConfig foreign = bound;
    foreign.handle = {'n', 'o', 't', ' ', 'a', ' ', 'h', 'a', 'n', 'd', 'l', 'e'};

    struct Case {
        const char* name;
        std::optional<VaultConfig::QuickUnlockConfig> touchID;
        std::optional<bool> binding;
    };
    const Case cases[] = {
        {"Bound", bound, true},
        {"Unbound", unbound, false},
        {"Foreign", foreign, std::nullopt}, // a handle no provider here reads: no claim either way
        {"Plain", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto vault = unlockedVault(c.name, c.touchID);
        EXPECT_EQ(QuickUnlockAvailability::touchIDBootBinding(vault), c.binding);
        VaultDetail detail(model.get(), vault);
        detail.show();
        detail.refresh();
        ASSERT_FALSE(uitest::named<QWidget>(&detail, "unlockedCards")->isHidden());
        EXPECT_EQ(!uitest::named<QWidget>(&detail, "quickUnlockOn")->isHidden(), c.touchID.has_value());
        EXPECT_EQ(!uitest::named<QLabel>(&detail, "touchIDBootState")->isHidden(), c.binding.has_value());
        if (c.binding) {
            EXPECT_EQ(uitest::named<QLabel>(&detail, "touchIDBootState")->text(),
                      kx(*c.binding ? "touchid.bootBound" : "touchid.bootUnbound"));
        }
    }
    // The answer comes from the key, not from the TPM's state now: after
    // another measurement (booted otherwise) the bound key still says bound;
    // it is the unlock that then falls back to the password.
    vaulttest::extendPcr(tpm->transport(), 7);
    const auto again = unlockedVault("BoundAgain", bound);
    EXPECT_EQ(QuickUnlockAvailability::touchIDBootBinding(again), std::optional<bool>(true));
}
