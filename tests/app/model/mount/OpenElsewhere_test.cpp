// The model with a vault whose sync client cannot be told to leave its
// visible folder out: the banner and the pane say where it is open and why,
// and Open shows that folder (real vaults, as an ordinary user).
#include "app/model/MountModes.h"
#include "model/support/ModelMountFixture.h"
#include "model/support/ModelTestSupport.h"

#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QDesktopServices>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace modeltest;

TEST_F(ModelMountTest, AVaultOpenedOutsideItsSyncedFolderSaysWhereAndOpensThere) {
    // the runtime folder apart from the synced one (tmp becomes Insync's)
    vaulttest::TempDir runtime{"hc-model-run"};
    const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedRuntime = oldRuntime ? oldRuntime : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    struct Restore {
        std::string value;
        bool had;
        ~Restore() {
            if (had) ::setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
            else ::unsetenv("XDG_RUNTIME_DIR");
        }
    } restore{savedRuntime, oldRuntime != nullptr};

    start();
    auto v = add("Docs");
    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    fs::create_directories(tmp / ".insync-trash");

    ASSERT_TRUE(await([&](auto done) { model->unlock(v, qPassword, done); }));
    const fs::path place = v->outsideFolder();
    EXPECT_EQ(v->openFolder(), place);
    EXPECT_TRUE(model->isUnlocked(v));
    EXPECT_EQ(modeOf(v->mountPoint()), 0555) << "the visible folder stays locked";
    const QString why = kx("unlock.elsewhere", place.string(), std::string("Insync"), tmp.path().string());
    ASSERT_TRUE(model->message());
    EXPECT_FALSE(model->message()->isError);
    EXPECT_EQ(model->message()->text, why);
    const QStringList lines = model->mountModes().syncCoverage(v);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.front(), why);

    // Open shows the folder the files are in (no xdg-open: Qt's handler).
    QTemporaryDir emptyBin;
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", emptyBin.path().toUtf8());
    UrlRecorder handler;
    QDesktopServices::setUrlHandler("file", &handler, "open");
    model->openInFileManager(v);
    EXPECT_TRUE(spinUntil([&] { return !handler.opened.isEmpty(); }, 10));
    QDesktopServices::unsetUrlHandler("file");
    qputenv("PATH", oldPath);
    EXPECT_EQ(handler.opened, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(place.string()))});

    ASSERT_TRUE(await([&](auto done) { model->lock(v, false, done); }));
    EXPECT_FALSE(fs::exists(place));
}
