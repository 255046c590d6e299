// The application on a Wayland desktop, against a headless sway 1.7 with
// no Xwayland: it starts natively (its window has the desktop file's app id
// and is an xdg-shell toplevel), its tray item registers with a tray host
// that appears after it, and the desktop portal's file dialog is given the
// window as its parent through an xdg-foreign handle that the compositor
// knows while the dialog is open.
//
// The programs run as child processes on the compositor (this test's own
// QApplication is offscreen); the tray host and the portal are played on
// this test's private session bus.
#include "kxui/kx.h"
#include "session/support/HeadlessSway.h"
#include "support/Spin.h"

#include "xdg-foreign-unstable-v2-client-protocol.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <wayland-client.h>

namespace {

using uitest::spinUntil;

QString besideThisTest(const char* name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromLatin1(name));
}

// The environment of a program run natively on the compositor.
QProcessEnvironment onCompositor(const sessiontest::HeadlessSway& sway, const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), sway.display());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), sway.runtimeDir());
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    env.remove(QStringLiteral("DISPLAY"));
    return env;
}

// sway's tree of windows (swaymsg -t get_tree over its IPC socket).
QJsonObject swayTree(const sessiontest::HeadlessSway& sway) {
    const QStringList sockets =
        QDir(sway.runtimeDir()).entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System | QDir::Files);
    if (sockets.isEmpty()) return {};
    QProcess msg;
    msg.start(QStringLiteral("swaymsg"), {QStringLiteral("-s"), QDir(sway.runtimeDir()).filePath(sockets.first()),
                                          QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree")});
    if (!msg.waitForFinished(10'000)) return {};
    return QJsonDocument::fromJson(msg.readAllStandardOutput()).object();
}

// The tree's windows (nodes with a shell), as {app_id, shell}.
void windowsOf(const QJsonObject& node, QList<QPair<QString, QString>>& out) {
    if (node.contains(QStringLiteral("shell")))
        out.append({node.value(QStringLiteral("app_id")).toString(), node.value(QStringLiteral("shell")).toString()});
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
            windowsOf(child.toObject(), out);
}

QList<QPair<QString, QString>> swayWindows(const sessiontest::HeadlessSway& sway) {
    QList<QPair<QString, QString>> out;
    windowsOf(swayTree(sway), out);
    return out;
}

// A StatusNotifierItem watcher with a host (what a panel's tray offers),
// registered on the bus only when asked: it records the items that
// register.
class TrayHost : public QDBusVirtualObject {
public:
    static constexpr const char* service = "org.kde.StatusNotifierWatcher";
    static constexpr const char* path = "/StatusNotifierWatcher";

    bool start(QDBusConnection bus) {
        if (!bus.registerVirtualObject(QString::fromLatin1(path), this)) return false;
        if (!bus.registerService(QString::fromLatin1(service))) return false;
        QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(path), QString::fromLatin1(service),
                                                         QStringLiteral("StatusNotifierHostRegistered"));
        return bus.send(signal);
    }
    void stop(QDBusConnection bus) {
        bus.unregisterService(QString::fromLatin1(service));
        bus.unregisterObject(QString::fromLatin1(path));
    }

    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.kde.StatusNotifierWatcher\">"
            "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<method name=\"RegisterStatusNotifierHost\"><arg name=\"service\" type=\"s\" direction=\"in\"/></method>"
            "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
            "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
            "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
            "<signal name=\"StatusNotifierItemRegistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierItemUnregistered\"><arg type=\"s\"/></signal>"
            "<signal name=\"StatusNotifierHostRegistered\"/>"
            "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        if (member == QLatin1String("RegisterStatusNotifierItem") && !message.arguments().isEmpty()) {
            QString item = message.arguments().first().toString();
            // an item may name itself by its object path alone
            items.append(item.startsWith(QLatin1Char('/')) ? message.service() + item : item);
            connection.send(message.createReply());
            return true;
        }
        if (member == QLatin1String("RegisterStatusNotifierHost")) {
            connection.send(message.createReply());
            return true;
        }
        if (member == QLatin1String("Get") && message.arguments().size() == 2) {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(property(message.arguments()[1].toString())))));
            return true;
        }
        if (member == QLatin1String("GetAll")) {
            QVariantMap all;
            for (const char* name : {"RegisteredStatusNotifierItems", "IsStatusNotifierHostRegistered", "ProtocolVersion"})
                all.insert(QLatin1String(name), property(QLatin1String(name)));
            connection.send(message.createReply(all));
            return true;
        }
        return false;
    }

    QStringList items;

private:
    QVariant property(const QString& name) const {
        if (name == QLatin1String("IsStatusNotifierHostRegistered")) return true;
        if (name == QLatin1String("ProtocolVersion")) return 0;
        if (name == QLatin1String("RegisteredStatusNotifierItems")) return items;
        return {};
    }
};

// The desktop portal's file chooser: records each OpenFile call and answers
// with its request object, whose Response it sends when told.
class FakePortal : public QDBusVirtualObject {
public:
    struct Call {
        QString parentWindow;
        QString requestPath;
    };

    bool start(QDBusConnection bus) {
        return bus.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), this) &&
               bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    }

    QString introspect(const QString&) const override {
        return QStringLiteral("<interface name=\"org.freedesktop.portal.FileChooser\">"
                              "<method name=\"OpenFile\"><arg type=\"s\" direction=\"in\"/>"
                              "<arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/>"
                              "<arg type=\"o\" direction=\"out\"/></method></interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QLatin1String("OpenFile") || message.arguments().size() != 3) return false;
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments()[2]);
        QString sender = message.service().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/") + sender +
                                QLatin1Char('/') + options.value(QStringLiteral("handle_token")).toString();
        calls.append({message.arguments()[0].toString(), request});
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        return true;
    }

    // Ends the dialog of call `index` as cancelled by the user.
    bool cancel(QDBusConnection bus, int index) {
        QDBusMessage response = QDBusMessage::createSignal(calls[index].requestPath,
                                                           QStringLiteral("org.freedesktop.portal.Request"),
                                                           QStringLiteral("Response"));
        response << uint(1) << QVariantMap();
        return bus.send(response);
    }

    QList<Call> calls;
};

// Another client of the compositor that imports an exported window by its
// handle (as the portal's dialog does to set its parent). The compositor
// ends an imported object that names no exported window at once.
class ForeignImporter {
public:
    explicit ForeignImporter(const QString& display) {
        display_ = wl_display_connect(display.toLocal8Bit().constData());
        if (!display_) return;
        registry_ = wl_display_get_registry(display_);
        static const wl_registry_listener listener{
            [](void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t) {
                auto* self = static_cast<ForeignImporter*>(data);
                if (!self->importer_ && std::strcmp(interface, zxdg_importer_v2_interface.name) == 0)
                    self->importer_ = static_cast<zxdg_importer_v2*>(
                        wl_registry_bind(registry, id, &zxdg_importer_v2_interface, 1));
            },
            [](void*, wl_registry*, uint32_t) {}};
        wl_registry_add_listener(registry_, &listener, this);
        wl_display_roundtrip(display_);
    }
    ~ForeignImporter() {
        if (importer_) zxdg_importer_v2_destroy(importer_);
        if (registry_) wl_registry_destroy(registry_);
        if (display_) wl_display_disconnect(display_);
    }
    bool ready() const { return importer_ != nullptr; }

    // Whether the compositor knows `handle` as an exported window now.
    bool knows(const QString& handle) {
        bool destroyed = false;
        static const zxdg_imported_v2_listener listener{
            [](void* data, zxdg_imported_v2*) { *static_cast<bool*>(data) = true; }};
        zxdg_imported_v2* imported = zxdg_importer_v2_import_toplevel(importer_, handle.toUtf8().constData());
        zxdg_imported_v2_add_listener(imported, &listener, &destroyed);
        wl_display_roundtrip(display_);
        wl_display_roundtrip(display_);
        zxdg_imported_v2_destroy(imported);
        wl_display_roundtrip(display_);
        return !destroyed;
    }

private:
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    zxdg_importer_v2* importer_ = nullptr;
};

class WaylandDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        ASSERT_TRUE(sway.start()) << sway.why().toStdString();
        // this test's own clients find the compositor's socket in its runtime folder
        qputenv("XDG_RUNTIME_DIR", sway.runtimeDir().toLocal8Bit());
    }
    void TearDown() override {
        for (QProcess* p : {&app, &probe}) {
            if (p->state() == QProcess::NotRunning) continue;
            p->closeWriteChannel();
            p->terminate();
            if (!p->waitForFinished(10'000)) p->kill();
            p->waitForFinished(2'000);
        }
    }
    std::string output(QProcess& p) { return p.readAllStandardError().toStdString(); }

    QTemporaryDir home;
    sessiontest::HeadlessSway sway;
    QProcess app;
    QProcess probe;
};

} // namespace

TEST_F(WaylandDesktop, StartsNativelyAndItsTrayItemRegistersWithAHostThatComesLater) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected());
    ASSERT_FALSE(bus.interface()->isServiceRegistered(QString::fromLatin1(TrayHost::service)).value());
    app.setProcessEnvironment(onCompositor(sway, home.path()));
    app.start(besideThisTest("hushcoffer"), {});
    ASSERT_TRUE(app.waitForStarted(10'000)) << app.errorString().toStdString();

    // native: an xdg-shell toplevel named by the desktop file (there is no
    // Xwayland to fall back to)
    const QPair<QString, QString> window{QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("xdg_shell")};
    ASSERT_TRUE(spinUntil([&] { return swayWindows(sway).contains(window) || app.state() == QProcess::NotRunning; }, 30) &&
                app.state() == QProcess::Running)
        << "windows: " << QJsonDocument(swayTree(sway)).toJson().size() << " bytes of tree; app: " << output(app);
    for (const auto& w : swayWindows(sway))
        EXPECT_EQ(w, window) << "another window: " << w.first.toStdString() << " " << w.second.toStdString();

    // the panel starts after the app: the item registers with it
    TrayHost host;
    ASSERT_TRUE(host.start(bus));
    ASSERT_TRUE(spinUntil([&] { return !host.items.isEmpty(); }, 20)) << "no tray item registered; app: " << output(app);
    ASSERT_EQ(host.items.size(), 1);
    const QString item = host.items.first();
    const qsizetype slash = item.indexOf(QLatin1Char('/'));
    const QString itemService = slash < 0 ? item : item.left(slash);
    const QString itemPath = slash < 0 ? QStringLiteral("/StatusNotifierItem") : item.mid(slash);

    // and its menu is the app's, served over the D-Bus menu protocol
    QDBusMessage get = QDBusMessage::createMethodCall(itemService, itemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
    const QDBusMessage menuReply = bus.call(get, QDBus::Block, 10'000);
    ASSERT_EQ(menuReply.type(), QDBusMessage::ReplyMessage) << menuReply.errorMessage().toStdString();
    const QString menuPath =
        qdbus_cast<QDBusObjectPath>(menuReply.arguments().first().value<QDBusVariant>().variant()).path();
    ASSERT_FALSE(menuPath.isEmpty());
    QDBusMessage layout = QDBusMessage::createMethodCall(itemService, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                                         QStringLiteral("GetLayout"));
    layout << 0 << -1 << QStringList{QStringLiteral("label")};
    const QDBusMessage layoutReply = bus.call(layout, QDBus::Block, 10'000);
    ASSERT_EQ(layoutReply.type(), QDBusMessage::ReplyMessage) << layoutReply.errorMessage().toStdString();
    // the labels of the whole tree (access letters shown as '_')
    QStringList labels;
    std::function<void(const QDBusArgument&)> walk = [&](const QDBusArgument& arg) {
        // (ia{sv}av)
        int id = 0;
        QVariantMap props;
        arg.beginStructure();
        arg >> id >> props;
        labels << props.value(QStringLiteral("label")).toString().remove(QLatin1Char('_'));
        arg.beginArray();
        while (!arg.atEnd()) {
            QDBusVariant child;
            arg >> child;
            walk(child.variant().value<QDBusArgument>());
        }
        arg.endArray();
        arg.endStructure();
    };
    ASSERT_EQ(layoutReply.arguments().size(), 2);
    walk(layoutReply.arguments()[1].value<QDBusArgument>());
    QString quit = kx("menu.quit");
    quit.remove(QLatin1Char('&'));
    EXPECT_TRUE(labels.contains(quit)) << "menu labels: " << labels.join(QStringLiteral(" | ")).toStdString();
    host.stop(bus);
}

TEST_F(WaylandDesktop, ThePortalsDialogIsGivenTheWindowByAHandleTheCompositorKnowsWhileItIsOpen) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    FakePortal portal;
    ASSERT_TRUE(portal.start(bus));
    ForeignImporter importer(sway.display());
    ASSERT_TRUE(importer.ready()) << "the compositor offers no zxdg_importer_v2";

    probe.setProcessEnvironment(onCompositor(sway, home.path()));
    probe.start(besideThisTest("app_session_portal_probe"), {});
    ASSERT_TRUE(probe.waitForStarted(10'000)) << probe.errorString().toStdString();
    ASSERT_TRUE(spinUntil([&] { return !portal.calls.isEmpty() || probe.state() == QProcess::NotRunning; }, 30) &&
                !portal.calls.isEmpty())
        << "the portal was not asked; probe: " << output(probe);
    EXPECT_EQ(probe.readLine().trimmed().toStdString(), "platform wayland");
    const QString parent = portal.calls.first().parentWindow;
    ASSERT_TRUE(parent.startsWith(QLatin1String("wayland:"))) << parent.toStdString();
    const QString handle = parent.mid(8);
    ASSERT_FALSE(handle.isEmpty());
    EXPECT_TRUE(importer.knows(handle)) << "the compositor does not know the window's handle " << handle.toStdString();
    EXPECT_FALSE(importer.knows(handle + QStringLiteral("-not-it"))) << "the check cannot tell a wrong handle";

    // the dialog ends: the window's export goes with it (the window stays)
    ASSERT_TRUE(portal.cancel(bus, 0));
    ASSERT_TRUE(spinUntil([&] { return probe.canReadLine() || probe.state() == QProcess::NotRunning; }, 20));
    EXPECT_EQ(probe.readLine().trimmed().toStdString(), "answered 0");
    ASSERT_EQ(probe.state(), QProcess::Running);
    EXPECT_FALSE(importer.knows(handle)) << "the handle outlived the dialog";
}
