// Whether quick unlock works here: asked off the GUI thread, false until the
// first answer, asked again after a relevant event, and an event that comes
// while a question runs asked once more after it (its answer may be older).
#include "app/model/AppModel.h"
#include "app/model/QuickUnlockAvailability.h"
#include "model/support/ModelTestSupport.h"
#include "vaultkit/quickunlock/QuickUnlockKey.h"
#include "vaultkit/quickunlock/QuickUnlockInterface.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace modeltest;

namespace {

// Each availability question waits for a permit (as when polkit is slow to
// answer) and then gives `answer`; the threads that ask are noted.
class GatedProvider final : public vaultkit::QuickUnlockInterface {
public:
    bool isAvailable() override {
        {
            std::lock_guard lock(mutex_);
            askers_.push_back(std::this_thread::get_id());
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            int left = permits.load();
            if (left > 0 && permits.compare_exchange_weak(left, left - 1)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ++answered;
        return answer.load();
    }
    AuthOutcome authenticate(const std::string&) override {
        return AuthOutcome::ended(AuthOutcome::Kind::userCancel);
    }
    std::optional<vaultkit::Sealing::Agree> loadKey(const std::vector<std::uint8_t>&,
                                                    const vaultkit::QuickUnlockContext&) override {
        return std::nullopt;
    }
    CreatedKey createKey() override { throw AccessControlError("test"); }
    std::vector<std::thread::id> askers() {
        std::lock_guard lock(mutex_);
        return askers_;
    }

    std::atomic<int> permits{0};
    std::atomic<int> answered{0};
    std::atomic<bool> answer{true};

private:
    std::mutex mutex_;
    std::vector<std::thread::id> askers_;
};

class QuickUnlockAvailabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        vaultkit::QuickUnlockKey::setProvider(provider);
    }
    void TearDown() override {
        // no question may outlive the test's provider
        provider->permits = 100;
        EXPECT_TRUE(spinUntil([&] { return provider->answered.load() == int(provider->askers().size()); }));
        model.reset();
        vaultkit::QuickUnlockKey::setProvider(nullptr);
    }
    QTemporaryDir dir;
    std::shared_ptr<GatedProvider> provider = std::make_shared<GatedProvider>();
    std::unique_ptr<AppModel> model;
};

TEST_F(QuickUnlockAvailabilityTest, AskedOffTheGuiThreadAndAnEventDuringAQuestionIsAskedAgainAfterIt) {
    model = std::make_unique<AppModel>(dir.path());
    QuickUnlockAvailability& availability = model->quickUnlock();
    // changed() without a tick of its own (the refresh tick announces too)
    int changes = 0;
    qint64 lastTick = model->tick();
    QObject::connect(model.get(), &AppModel::changed, [&] {
        if (model->tick() == lastTick) ++changes;
        lastTick = model->tick();
    });

    // asked once at start, off the GUI thread; not known yet: not available
    ASSERT_TRUE(spinUntil([&] { return provider->askers().size() == 1u; }));
    EXPECT_NE(provider->askers()[0], std::this_thread::get_id());
    EXPECT_FALSE(availability.touchIDAvailable());

    // events while that question hangs start no second question at once
    availability.recheckTouchID();
    availability.recheckTouchID();
    spinFor(100);
    EXPECT_EQ(provider->askers().size(), 1u);
    EXPECT_FALSE(availability.touchIDAvailable());

    // the answer arrives, is announced, and the events are asked once after it
    provider->permits = 1;
    ASSERT_TRUE(spinUntil([&] { return availability.touchIDAvailable(); }));
    EXPECT_EQ(changes, 1);
    ASSERT_TRUE(spinUntil([&] { return provider->askers().size() == 2u; }));
    EXPECT_NE(provider->askers()[1], std::this_thread::get_id());

    // the same answer again announces nothing; a changed one does
    provider->permits = 1;
    ASSERT_TRUE(spinUntil([&] { return provider->answered.load() == 2; }));
    spinFor(100);
    EXPECT_TRUE(availability.touchIDAvailable());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(provider->askers().size(), 2u);

    provider->answer = false;
    availability.recheckTouchID();
    provider->permits = 1;
    ASSERT_TRUE(spinUntil([&] { return !availability.touchIDAvailable(); }));
    EXPECT_EQ(changes, 2);
}

} // namespace
