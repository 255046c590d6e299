// A locked vault's unlock card: the note on a vault whose daemon has gone.
// The vaults sit on the in-memory driver.
#include "app/model/AppModel.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "support/Named.h"
#include "support/PaneFixture.h"
#include "support/Spin.h"

#include <QLabel>

#include <gtest/gtest.h>

using vaultkit::DiskImage;

namespace {

class UnlockCardTest : public uitest::PaneTest {};

} // namespace

// A vault whose daemon has gone shows as needing an unlock, with the note
// saying why; unlocking it again mounts it afresh.
TEST_F(UnlockCardTest, AStaleVaultShowsTheNoteAndUnlocksAgain) {
    auto v = addVault("Photos");
    ASSERT_TRUE(unlockNow(v));
    VaultDetail pane(model.get(), v);
    pane.show();
    EXPECT_TRUE(uitest::named<QLabel>(&pane, "staleNote")->isHidden());

    driver->killDaemon(v->mountPoint());
    model->bump();
    ASSERT_TRUE(uitest::spinUntil([&] { return !uitest::named<QLabel>(&pane, "staleNote")->isHidden(); }));
    EXPECT_EQ(model->mountState(v), DiskImage::MountState::stale);
    EXPECT_FALSE(model->isUnlocked(v)) << "counts as locked";
    EXPECT_EQ(uitest::named<QLabel>(&pane, "staleNote")->text(), kx("stale.note"));
    // The note spans the card and gets the height its lines need (it was
    // squeezed into a narrow box of one line's height, its text cut).
    pane.resize(720, 900);
    const QLabel* note = uitest::named<QLabel>(&pane, "staleNote");
    EXPECT_TRUE(uitest::spinUntil([&] {
        return note->width() >= pane.width() / 2 && note->height() + 1 >= note->heightForWidth(note->width());
    })) << note->width()
        << "x" << note->height() << " in a pane " << pane.width() << " wide";

    const int attaches = driver->attachCalls();
    ASSERT_TRUE(unlockNow(v));
    EXPECT_EQ(driver->attachCalls(), attaches + 1);
    EXPECT_EQ(model->mountState(v), DiskImage::MountState::mounted);
    ASSERT_TRUE(uitest::spinUntil([&] { return uitest::named<QLabel>(&pane, "staleNote")->isHidden(); }));
}
