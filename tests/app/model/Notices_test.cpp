// Desktop notices against python3-dbusmock's notification daemon on a private
// bus: what the notice carries, and a click on it coming back to the model,
// which selects the vault and asks for the window.
#include "app/desktop/DesktopNotifier.h"
#include "app/model/AppModel.h"
#include "app/model/Notices.h"
#include "model/support/ModelTestSupport.h"

#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace modeltest;
using vaultkit::VaultConfig;

namespace {

constexpr const char* notifyPath = "/org/freedesktop/Notifications";
constexpr const char* notifyInterface = "org.freedesktop.Notifications";

struct NotifyCall {
    QString app, icon, title, body;
    uint replaces = 0;
    QStringList actions;
    QVariantMap hints;
};

// The Notify calls the mock received, in order (GetMethodCalls: a(tav)).
std::vector<NotifyCall> notifyCalls(DBusMock& daemon) {
    const QVariantList reply = daemon.call(notifyPath, "GetMethodCalls", {QStringLiteral("Notify")});
    std::vector<NotifyCall> out;
    if (reply.isEmpty()) return out;
    const QDBusArgument arg = reply[0].value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        quint64 time = 0;
        QVariantList args;
        arg.beginStructure();
        arg >> time >> args;
        arg.endStructure();
        NotifyCall c;
        if (args.size() == 8) {
            c.app = args[0].toString();
            c.replaces = args[1].toUInt();
            c.icon = args[2].toString();
            c.title = args[3].toString();
            c.body = args[4].toString();
            c.actions = qdbus_cast<QStringList>(args[5]);
            c.hints = qdbus_cast<QVariantMap>(args[6]);
        }
        out.push_back(c);
    }
    arg.endArray();
    return out;
}

class NoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
        session = bus.connect("hc-session");
        control = bus.connect("hc-control");
        daemon = std::make_unique<DBusMock>(bus.address(), false, QStringList{"--template", "notification_daemon"},
                                            notifyInterface, control);
        ASSERT_TRUE(daemon->ok()) << daemon->errorOutput().toStdString();
    }
    void click(uint id, const QString& action) {
        daemon->emitSignal(notifyPath, notifyInterface, "ActionInvoked", "us", {id, action});
    }

    PrivateBus bus;
    QDBusConnection session{QString()};
    QDBusConnection control{QString()};
    std::unique_ptr<DBusMock> daemon;
};

TEST_F(NoticeTest, ANoticeCarriesTheIconTextAndADefaultActionAndOnlyItsOwnClickComesBack) {
    DesktopNotifier notifier(session, "Hushcoffer", "app.hushcoffer.Hushcoffer", "app.hushcoffer.Hushcoffer");
    QSignalSpy clicked(&notifier, &Notifier::activated);
    notifier.show("Private", "“Private” could not be locked automatically: in use", "tag-1");
    ASSERT_TRUE(spinUntil([&] { return notifyCalls(*daemon).size() == 1; }));
    const NotifyCall c = notifyCalls(*daemon).front();
    EXPECT_EQ(c.app, "Hushcoffer");
    EXPECT_EQ(c.replaces, 0u); // a new notice, never replacing another application's
    EXPECT_EQ(c.icon, "app.hushcoffer.Hushcoffer");
    EXPECT_EQ(c.title, "Private");
    EXPECT_EQ(c.body, "“Private” could not be locked automatically: in use");
    ASSERT_GE(c.actions.size(), 2);
    EXPECT_EQ(c.actions[0], "default");
    EXPECT_EQ(c.hints.value("desktop-entry").toString(), "app.hushcoffer.Hushcoffer");

    // The mock numbers notices from 1. A click on another application's
    // notice, and an action other than the default one, are not ours.
    spinFor(200); // the Notify reply with the id has arrived
    click(7, "default");
    click(1, "other");
    spinFor(300);
    EXPECT_EQ(clicked.count(), 0);
    click(1, "default");
    ASSERT_TRUE(spinUntil([&] { return clicked.count() == 1; }));
    EXPECT_EQ(clicked[0][0].toString(), "tag-1");
    // A closed notice is forgotten: a late click on its id does nothing.
    daemon->emitSignal(notifyPath, notifyInterface, "NotificationClosed", "uu", {1u, 2u});
    spinFor(200);
    click(1, "default");
    spinFor(300);
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(NoticeTest, WithoutANotificationServiceNothingBlocksOrFails) {
    // The service goes away: the call fails on its own, later, and the
    // notifier stays usable.
    daemon.reset();
    DesktopNotifier notifier(session, "Hushcoffer", "icon", "entry");
    LogLines log;
    notifier.show("A", "b", "t");
    notifier.show("A", "b", "t");
    ASSERT_TRUE(spinUntil([&] { return !log.matching("desktop notice not shown").empty(); }));
    spinFor(300);
    EXPECT_EQ(log.matching("desktop notice not shown").size(), 1u); // logged once
}

TEST_F(NoticeTest, AClickOnAVaultsNoticeSelectsTheVaultAndAsksForTheWindow) {
    QTemporaryDir tmp;
    const fs::path root(tmp.path().toStdString());
    std::vector<std::string> dirs;
    std::vector<vaultkit::Uuid> ids;
    for (const std::string name : {"First", "Second"}) {
        const fs::path dir = root / ("." + name + ".hushcoffer");
        fs::create_directories(dir);
        fs::create_directories(root / name);
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        config.recoveryPublicKey.assign(32, 1);
        vaultkit::ConfigStore::save(config, dir / "vault.json", std::nullopt);
        dirs.push_back(dir.string());
        ids.push_back(config.id);
    }
    const fs::path support = root / "support";
    fs::create_directories(support);
    vaultkit::Registry::write(support / "vaults.json", dirs);
    AppModel model(QString::fromStdString(support.string()));
    model.notices().setNotifier(std::make_unique<DesktopNotifier>(session, "Hushcoffer", "icon", "entry"));
    ASSERT_EQ(model.vaults().size(), 2u);
    ASSERT_EQ(model.selection(), ids[0]);
    QSignalSpy shown(&model.notices(), &Notices::noticeActivated);

    model.notices().postNotice(model.vaults()[1], "Import into “Second” finished.");
    ASSERT_TRUE(spinUntil([&] { return notifyCalls(*daemon).size() == 1; }));
    EXPECT_EQ(notifyCalls(*daemon).front().title, "Second");
    spinFor(200);
    click(1, "default");
    ASSERT_TRUE(spinUntil([&] { return shown.count() == 1; }));
    EXPECT_EQ(model.selection(), ids[1]);

    // A notice about a vault forgotten since: the click changes nothing.
    model.notices().postNotice(model.vaults()[0], "x");
    ASSERT_TRUE(spinUntil([&] { return notifyCalls(*daemon).size() == 2; }));
    spinFor(200);
    model.forget(model.vaults()[0]);
    model.setSelection(std::nullopt);
    click(2, "default");
    spinFor(400);
    EXPECT_EQ(shown.count(), 1);
    EXPECT_FALSE(model.selection());
    vaultkit::Vault::setBackupDirectory(std::nullopt);
}

} // namespace
