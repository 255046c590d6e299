// The model without mounts: the registry and its edge cases, adding existing
// vaults, the selection, the refusal of self-import, the Trash, the file
// manager call, the refresh tick and termination signals.
#include "app/desktop/FolderLook.h"
#include "app/desktop/TerminationSignals.h"
#include "app/model/AppModel.h"
#include "app/shell/AppDelegate.h"
#include "model/support/ModelFixture.h"
#include "model/support/ModelTestSupport.h"

#include "../../support/SharedRuleCases.h"

#include "kxcore/Settings.h"
#include "kxui/kx.h"
#include "vaultkit/error/VaultError.h"
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/vault/Vault.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

namespace fs = std::filesystem;
using namespace modeltest;
using vaultkit::Vault;
using vaultkit::VaultConfig;
using vaultkit::VaultError;

namespace {

// ---- Registry ---------------------------------------------------------------

TEST_F(ModelTest, UnusableRegistryFilesGiveAnEmptyListAndNoMessage) {
    makeVault("A");
    const std::vector<std::pair<const char*, std::optional<std::string>>> cases{
        {"missing", std::nullopt},  {"empty", ""},          {"not JSON", "[\"/x\""},
        {"an object", "{\"a\":1}"}, {"a string", "\"/x\""}, {"binary", std::string("\xff\xfe\0", 3)}};
    for (const auto& [label, content] : cases) {
        SCOPED_TRACE(label);
        fs::remove(registry());
        if (content) writeAll(registry(), *content);
        AppModel& m = start();
        EXPECT_TRUE(m.vaults().empty());
        EXPECT_FALSE(m.selection());
        EXPECT_FALSE(m.message());
        // Nothing is written at start.
        if (content)
            EXPECT_EQ(readAll(registry()), *content);
        else
            EXPECT_FALSE(fs::exists(registry()));
        model.reset();
    }
}

// A damaged list is logged at start and, when the list is next saved, kept
// under another name with every byte, so the paths in it are not lost.
TEST_F(ModelTest, ADamagedRegistryIsLoggedAndKeptWhenTheListIsNextSaved) {
    const std::string damaged = "[\"" + (root / ".Lost.hushcoffer").string() + "\", \"/ho";
    writeAll(registry(), damaged);
    LogLines log;
    AppModel& m = start();
    EXPECT_EQ(log.matching("cannot read the vault list").size(), 1u);
    m.registerVault(Vault::open(makeVault("New")));
    EXPECT_EQ(vaultkit::Registry::read(registry()),
              (std::vector<std::string>{(root / ".New.hushcoffer").string()}));
    std::vector<fs::path> kept;
    for (const auto& e : fs::directory_iterator(registry().parent_path()))
        if (e.path().filename().string().starts_with("vaults.json.unreadable-")) kept.push_back(e.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readAll(kept[0]), damaged);
    EXPECT_EQ(log.matching("kept as " + kept[0].string()).size(), 1u);
}

TEST_F(ModelTest, ReadsEscapedAndPlainSlashesAndSelectsTheFirstVault) {
    const fs::path a = makeVault("A"), b = makeVault("B");
    std::string escaped = a.string();
    for (std::size_t i = 0; (i = escaped.find('/', i)) != std::string::npos; i += 2)
        escaped.replace(i, 1, "\\/");
    writeAll(registry(), "[\"" + escaped + "\", \"" + b.string() + "\"]");
    AppModel& m = start();
    ASSERT_EQ(m.vaults().size(), 2u);
    EXPECT_EQ(m.vaults()[0]->dir(), a);
    EXPECT_EQ(m.vaults()[1]->dir(), b);
    EXPECT_EQ(m.selection(), m.vaults()[0]->config().id);
    EXPECT_EQ(m.selected(), m.vaults()[0]);
}

TEST_F(ModelTest, AnUnopenablePathIsLoggedAndDroppedAtTheNextWrite) {
    const fs::path good = makeVault("Good");
    const fs::path bad = root / ".Gone.hushcoffer";
    writeRegistry({bad, good});
    LogLines log;
    AppModel& m = start();
    ASSERT_EQ(m.vaults().size(), 1u);
    EXPECT_EQ(m.vaults()[0]->dir(), good);
    const auto lines = log.matching("cannot open vault at " + bad.string() + ": ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERROR ", 0), 0u);
    // still in the file until something is written
    EXPECT_NE(readAll(registry()).find("Gone"), std::string::npos);

    m.registerVault(Vault::open(makeVault("Third")));
    EXPECT_EQ(vaultkit::Registry::read(registry()),
              (std::vector<std::string>{good.string(), (root / ".Third.hushcoffer").string()}));
    // compact, no pretty printing
    EXPECT_EQ(readAll(registry()).find('\n'), std::string::npos);
}

TEST_F(ModelTest, RegisterOfAListedDirectorySelectsItWithoutRewritingTheFile) {
    const fs::path a = makeVault("A"), b = makeVault("B");
    writeAll(registry(), "[ \"" + a.string() + "\" , \"" + b.string() + "\" ]"); // not the encoder's form
    AppModel& m = start();
    const std::string before = readAll(registry());
    int changes = 0;
    QObject::connect(&m, &AppModel::changed, [&] { ++changes; });
    // the same directory spelled differently, opened as a new object
    fs::create_directories(root / "x");
    auto again = Vault::open(root / "x" / ".." / ".B.hushcoffer/");
    m.registerVault(again);
    EXPECT_EQ(m.vaults().size(), 2u);
    EXPECT_EQ(m.selection(), again->config().id);
    EXPECT_EQ(m.selected(), m.vaults()[1]);
    EXPECT_EQ(readAll(registry()), before);
    EXPECT_GE(changes, 1);
}

TEST_F(ModelTest, ForgetRemovesThatObjectAndSelectsTheFirstRemaining) {
    const fs::path a = makeVault("A"), b = makeVault("B");
    writeRegistry({a, b});
    AppModel& m = start();
    auto va = m.vaults()[0], vb = m.vaults()[1];
    m.setSelection(vb->config().id);

    // another object for the same directory is not the listed one
    m.forget(Vault::open(b));
    EXPECT_EQ(m.vaults().size(), 2u);

    m.forget(vb);
    ASSERT_EQ(m.vaults().size(), 1u);
    EXPECT_EQ(m.selection(), va->config().id);
    EXPECT_EQ(vaultkit::Registry::read(registry()), (std::vector<std::string>{a.string()}));
    EXPECT_TRUE(fs::exists(b / "vault.json")); // nothing on disk but the registry

    m.forget(va);
    EXPECT_TRUE(m.vaults().empty());
    EXPECT_FALSE(m.selection());
    EXPECT_FALSE(m.selected());
    EXPECT_EQ(vaultkit::Registry::read(registry()), std::vector<std::string>{});
}

// The cases the library and hushcoffer-cli run too (tests/support/SharedRuleCases.h).
TEST_F(ModelTest, AddExistingRegistersTheVaultTheLibraryFindsOrShowsThatVaultsError) {
    for (const auto& c : sharedrules::pickedCases(root / "picked")) {
        SCOPED_TRACE(c.what);
        fs::remove(registry());
        AppModel& m = start();
        m.addExisting(QUrl::fromLocalFile(QString::fromStdString(c.picked.string())));
        if (c.expected == sharedrules::Picked::opens) {
            ASSERT_EQ(m.vaults().size(), 1u);
            EXPECT_EQ(m.vaults()[0]->dir(), c.vaultDir);
            EXPECT_EQ(m.selection(), m.vaults()[0]->config().id);
            EXPECT_FALSE(m.message());
            EXPECT_EQ(vaultkit::Registry::read(registry()), (std::vector<std::string>{c.vaultDir.string()}));
        } else {
            EXPECT_TRUE(m.vaults().empty());
            ASSERT_TRUE(m.message());
            EXPECT_TRUE(m.message()->isError);
            QString expected = kx("err.notAVault");
            if (c.expected == sharedrules::Picked::ownError) {
                try {
                    Vault::open(c.vaultDir);
                    ADD_FAILURE() << "the vault directory opens";
                } catch (const std::exception& e) {
                    expected = describe(e);
                }
            }
            EXPECT_EQ(m.message()->text, expected);
            EXPECT_FALSE(fs::exists(registry()));
        }
        model.reset();
    }
}

// ---- Import refusal and the Trash ---------------------------------------------

// The cases the library and hushcoffer-cli run too (tests/support/SharedRuleCases.h).
TEST_F(ModelTest, ImportOfASelectionHoldingTheVaultIsRefusedNamingThatItem) {
    const fs::path vaults = root / "selection";
    const fs::path dir = sharedrules::makeVault(vaults, "V");
    for (const auto& c : sharedrules::selectionCases(vaults)) {
        SCOPED_TRACE(c.what);
        writeRegistry({dir});
        AppModel& m = start();
        auto vault = m.vaults()[0];
        QList<QUrl> urls;
        for (const auto& s : c.sources)
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(s.string())));
        auto result = std::make_shared<std::optional<bool>>();
        m.importItems(vault, urls, [result](bool ok) { *result = ok; });
        if (c.refused) {
            ASSERT_TRUE(*result); // answered at once: nothing ran
            EXPECT_FALSE(**result);
            ASSERT_TRUE(m.message());
            EXPECT_TRUE(m.message()->isError);
            EXPECT_EQ(m.message()->text, kx("err.importContainsVault", *c.refused));
            EXPECT_TRUE(m.working().empty());
            EXPECT_FALSE(m.importResults());
        } else {
            EXPECT_FALSE(*result) << "queued on the vault's lane";
            EXPECT_FALSE(m.message());
        }
        model.reset();
    }
}

TEST_F(ModelTest, TrashMovesOnlyTheSuccessfulSourcesAndCountsWhatReallyMoved) {
    AppModel& m = start();
    // nothing ok: an empty request and "0"
    m.setImportResults(ImportBatch({}));
    std::optional<bool> done;
    vaultkit::Importer::Result failed;
    failed.source = root / "kept.txt";
    failed.problems = {"missing: ."};
    writeAll(failed.source, "x");
    m.trashOriginals({failed}, [&](bool ok) { done = ok; });
    EXPECT_FALSE(m.importResults()); // closed at once
    ASSERT_TRUE(spinUntil([&] { return done.has_value(); }));
    ASSERT_TRUE(m.message());
    EXPECT_FALSE(m.message()->isError);
    EXPECT_EQ(m.message()->text, kx("ok.trashed", 0));
    EXPECT_TRUE(fs::exists(failed.source));

    // two ok, one of which cannot be trashed (gone): the count is 1, the other is named
    vaultkit::Importer::Result a, gone;
    a.source = root / "a.txt";
    writeAll(a.source, "a");
    gone.source = root / "gone.txt";
    done.reset();
    LogLines log;
    m.trashOriginals({a, failed, gone}, [&](bool ok) { done = ok; });
    ASSERT_TRUE(spinUntil([&] { return done.has_value(); }));
    EXPECT_FALSE(*done);
    EXPECT_FALSE(fs::exists(a.source));
    // in the home Trash, even though its folder did not exist yet
    EXPECT_TRUE(fs::exists(root / "share/Trash/files/a.txt"));
    EXPECT_TRUE(fs::exists(root / "share/Trash/info/a.txt.trashinfo"));
    EXPECT_TRUE(fs::exists(failed.source));
    ASSERT_TRUE(m.message());
    EXPECT_TRUE(m.message()->isError);
    EXPECT_TRUE(m.message()->text.startsWith(kx("ok.trashed", 1))) << m.message()->text.toStdString();
    EXPECT_TRUE(m.message()->text.contains("gone.txt"));
    EXPECT_EQ(log.matching("cannot move to the Trash: " + gone.source.string()).size(), 1u);
}

// ---- File manager ------------------------------------------------------------------

// A stand-in for xdg-open in a folder of its own: it writes its argument to
// `log` and ends with `status`. PATH holds only that folder while it lives.
class FakeXdgOpen {
public:
    FakeXdgOpen(const QString& dir, int status, bool present = true)
        : log(dir + "/xdg-open.log")
        , oldPath(qgetenv("PATH")) {
        if (present) {
            QFile script(dir + "/xdg-open");
            EXPECT_TRUE(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\nexit %2\n")
                             .arg(log)
                             .arg(status)
                             .toUtf8());
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        qputenv("PATH", dir.toUtf8());
    }
    ~FakeXdgOpen() { qputenv("PATH", oldPath); }
    QStringList opened() const {
        QFile f(log);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    const QString log;

private:
    QByteArray oldPath;
};

TEST_F(ModelTest, OpenInFinderOpensTheVaultsFolderWithTheDefaultHandlerOrSaysItCannot) {
    const fs::path dir = makeVault("My Docs");
    writeRegistry({dir});
    AppModel& m = start();
    const QString mountPoint = QString::fromStdString((root / "My Docs").string());
    const QUrl expected = QUrl::fromLocalFile(mountPoint);
    // no file manager on the bus in any of these
    struct Case {
        const char* what;
        bool xdgOpen;
        int status;
        bool urlHandler;
        bool opens;
    };
    for (const Case& c : {Case{"xdg-open takes it", true, 0, false, true},
                          Case{"xdg-open finds no program", true, 3, false, false},
                          Case{"no xdg-open: Qt's desktop services", false, 0, true, true}}) {
        SCOPED_TRACE(c.what);
        QTemporaryDir bin;
        ASSERT_TRUE(bin.isValid());
        FakeXdgOpen xdg(bin.path(), c.status, c.xdgOpen);
        UrlRecorder handler;
        if (c.urlHandler) QDesktopServices::setUrlHandler("file", &handler, "open");
        m.setMessage(std::nullopt);
        m.openInFileManager(m.vaults()[0]);
        if (c.opens) {
            ASSERT_TRUE(spinUntil([&] { return !xdg.opened().isEmpty() || !handler.opened.isEmpty(); }, 10));
            if (c.xdgOpen)
                EXPECT_EQ(xdg.opened(), QStringList{expected.toString(QUrl::FullyEncoded)});
            else
                EXPECT_EQ(handler.opened, QList<QUrl>{expected});
            spinFor(200);
            EXPECT_FALSE(m.message()) << m.message()->text.toStdString();
        } else {
            // the window says so, naming the folder
            ASSERT_TRUE(spinUntil([&] { return m.message().has_value(); }, 10));
            EXPECT_TRUE(m.message()->isError);
            EXPECT_EQ(m.message()->text, kx("err.openFolder", mountPoint));
        }
        if (c.urlHandler) QDesktopServices::unsetUrlHandler("file");
    }
}

TEST_F(ModelTest, OpenInFinderAsksTheFileManagerToShowTheFolderItself) {
    const fs::path dir = makeVault("My Docs");
    writeRegistry({dir});
    AppModel& m = start();
    const QUrl expected = QUrl::fromLocalFile(QString::fromStdString((root / "My Docs").string()));
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    FakeXdgOpen xdg(bin.path(), 0);

    // a file manager: ShowFolders (the folder opened, not its parent with
    // it selected) with the mount point's URI, and no fallback
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected());
    DBusMock fm(
        qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), false,
        {"org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1"},
        "org.freedesktop.FileManager1", bus);
    ASSERT_TRUE(fm.ok()) << fm.errorOutput().toStdString();
    for (const char* method : {"ShowItems", "ShowFolders"})
        fm.addMethod("/org/freedesktop/FileManager1", "org.freedesktop.FileManager1", method, "ass", "", "");
    m.openInFileManager(m.vaults()[0]);
    // GetMethodCalls: a(tav), the time and arguments of each call
    const auto calls = [&](const char* method) {
        QStringList shown;
        const QVariantList reply = fm.call("/org/freedesktop/FileManager1", "GetMethodCalls", {method});
        const QDBusArgument arg = reply.value(0).value<QDBusArgument>();
        arg.beginArray();
        while (!arg.atEnd()) {
            quint64 time = 0;
            QVariantList args;
            arg.beginStructure();
            arg >> time >> args;
            arg.endStructure();
            if (!args.isEmpty()) shown << qdbus_cast<QStringList>(args[0]);
        }
        arg.endArray();
        return shown;
    };
    ASSERT_TRUE(spinUntil([&] { return !calls("ShowFolders").isEmpty(); }));
    EXPECT_EQ(calls("ShowFolders"), QStringList{expected.toString(QUrl::FullyEncoded)});
    EXPECT_TRUE(calls("ShowItems").isEmpty());
    spinFor(300);
    EXPECT_TRUE(xdg.opened().isEmpty());
    EXPECT_FALSE(m.message());
}

TEST_F(ModelTest, TheRefreshTickAnnouncesAChangeEveryTwoSeconds) {
    AppModel& m = start();
    const qint64 first = m.tick();
    EXPECT_TRUE(spinUntil([&] { return m.tick() >= first + 2; }, 6));
}

// ---- Termination signals -------------------------------------------------------------

TEST_F(ModelTest, ATerminationSignalRunsTheShutdownPassAndExits) {
    writeRegistry({makeVault("A")});
    AppModel& m = start();
    AppDelegate::model = &m;
    AppDelegate delegate;
    delegate.setSettingsFile(QString::fromStdString((root / "settings.ini").string()));
    LogLines log;
    std::vector<int> exits;
    delegate.installTerminationHandling([&](int status) { exits.push_back(status); });
    for (int sig : {SIGTERM, SIGTERM})
        ::raise(sig);
    EXPECT_TRUE(spinUntil([&] { return !exits.empty(); }, 10));
    spinFor(200);
    EXPECT_EQ(exits, std::vector<int>{0}); // the second signal does not start another pass
    EXPECT_EQ(log.matching("SIGTERM: locking vaults, then exiting").size(), 1u);
    AppDelegate::model = nullptr;
}

} // namespace
