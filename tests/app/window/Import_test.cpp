// Choosing what to import: the import button's two choices through the file
// panels' seam, the desktop portal's file chooser against a stand-in portal
// on the test's private session bus, and files dragged onto the window or
// onto a vault in the sidebar (QTest-style drag events with file URLs), with
// vaults on an in-memory disk driver.
#include "app/desktop/FilePanels.h"
#include "app/desktop/Notifier.h"
#include "app/desktop/PortalFileChooser.h"
#include "app/model/AppModel.h"
#include "app/model/Notices.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/ImportDrop.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "support/MemoryDiskImage.h"
#include "support/Named.h"
#include "support/Spin.h"
#include "vaultkit/vault/Vault.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDialog>
#include <QDialogButtonBox>
#include <QAbstractItemView>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using vaultkit::Vault;
using vaultkit::VaultConfig;

namespace {

using uitest::spinUntil;

constexpr const char* rightPassword = "right password";

class ImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = fs::path(dir_.path().toStdString());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("config"))));
        driver_ = std::make_shared<uitest::MemoryDiskImage>(rightPassword);
        previousHooks_ = SheetPresenter::hooks();
        auto& h = SheetPresenter::hooks();
        h = {};
        h.passwordPrompt = [this](const QString& title, const QString&, SheetPresenter::PasswordAction action,
                                  QWidget* parent) -> QDialog* {
            promptTitles_ << title;
            promptAction_ = std::move(action);
            return new QDialog(parent);
        };
        h.importResults = [this](AppModel*, std::vector<vaultkit::Importer::Result> results,
                                 QWidget* parent) -> QDialog* {
            sheetResults_.push_back(std::move(results));
            return new QDialog(parent);
        };
        model_ = std::make_unique<AppModel>(dir_.filePath(QStringLiteral("support")));
    }
    void TearDown() override {
        FilePanels::importHook() = {};
        SheetPresenter::hooks() = previousHooks_;
        model_.reset();
        Vault::setBackupDirectory(std::nullopt);
    }

    std::shared_ptr<Vault> addVault(const std::string& name, bool unlocked) {
        const fs::path parent = root_ / "vaults";
        fs::create_directories(parent);
        VaultConfig config;
        config.id = vaultkit::Uuid::random();
        config.name = name;
        const fs::path vaultDir = parent / ("." + name + ".hushcoffer");
        fs::create_directories(vaultDir);
        auto vault = std::make_shared<Vault>(vaultDir, config, driver_);
        model_->registerVault(vault);
        if (unlocked) {
            std::optional<bool> ok;
            model_->unlock(vault, QString::fromLatin1(rightPassword), [&](bool r) { ok = r; });
            EXPECT_TRUE(spinUntil([&] { return ok.has_value(); }) && *ok);
        }
        return vault;
    }
    // Two files outside the vaults, as URLs.
    QList<QUrl> outsideFiles() {
        QList<QUrl> urls;
        for (const char* name : {"one.txt", "two.txt"}) {
            const fs::path p = root_ / "outside" / name;
            fs::create_directories(p.parent_path());
            std::ofstream(p) << name;
            urls << QUrl::fromLocalFile(QString::fromStdString(p.string()));
        }
        return urls;
    }
    bool imported(const std::shared_ptr<Vault>& v) const {
        return fs::exists(v->mountPoint() / "one.txt") && fs::exists(v->mountPoint() / "two.txt");
    }

    QTemporaryDir dir_;
    fs::path root_;
    std::shared_ptr<uitest::MemoryDiskImage> driver_;
    std::unique_ptr<AppModel> model_;
    SheetPresenter::Hooks previousHooks_;
    QStringList promptTitles_;
    SheetPresenter::PasswordAction promptAction_;
    std::vector<std::vector<vaultkit::Importer::Result>> sheetResults_;
};

// Sends a drag with `mime` to `target` at `pos` (enter, move, drop); returns
// whether the drop was accepted.
bool dragAndDrop(QWidget* target, QPoint pos, const QList<QUrl>& urls, bool* enterAccepted = nullptr) {
    // As file managers offer them: the URLs, and their text for text fields.
    QMimeData mime;
    mime.setUrls(urls);
    QStringList text;
    for (const QUrl& u : urls)
        text << u.toString();
    mime.setText(text.join('\n'));
    QDragEnterEvent enter(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (enterAccepted) *enterAccepted = enter.isAccepted();
    if (!enter.isAccepted()) return false;
    QDragMoveEvent move(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(QPointF(pos), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

// ---- The import button's choices -----------------------------------------------------

TEST_F(ImportTest, TheImportButtonOffersFilesAndFoldersAndImportsWhatThePanelGives) {
    auto vault = addVault("Private", true);
    VaultDetail detail(model_.get(), vault);
    detail.show();
    ASSERT_TRUE(uitest::named<QPushButton>(&detail, "importButton")->menu());
    EXPECT_EQ(uitest::named<QAction>(&detail, "importFiles")->text(), kx("action.importFiles"));
    EXPECT_EQ(uitest::named<QAction>(&detail, "importFolder")->text(), kx("action.importFolder"));

    std::vector<FilePanels::ImportKind> asked;
    QList<QUrl> answer;
    FilePanels::importHook() = [&](QWidget*, FilePanels::ImportKind kind, FilePanels::Chosen chosen) {
        asked.push_back(kind);
        chosen(answer);
    };
    // Cancelled: nothing happens.
    uitest::named<QAction>(&detail, "importFolder")->trigger();
    EXPECT_FALSE(model_->working().count(vault->config().id));
    // Several files at once: both go in, with the result sheet's data.
    answer = outsideFiles();
    uitest::named<QAction>(&detail, "importFiles")->trigger();
    ASSERT_TRUE(spinUntil([&] { return model_->importResults().has_value(); }, 20));
    EXPECT_EQ(model_->importResults()->results.size(), 2u);
    EXPECT_TRUE(imported(vault));
    EXPECT_EQ(asked, (std::vector{FilePanels::ImportKind::folders, FilePanels::ImportKind::files}));
}

TEST_F(ImportTest, TheEndOfALongImportIsANoticeWhileNoWindowIsActive) {
    class Recorder final : public Notifier {
    public:
        explicit Recorder(QStringList* bodies)
            : bodies_(bodies) {}
        void show(const QString&, const QString& body, const QString&) override { *bodies_ << body; }

    private:
        QStringList* bodies_;
    };
    QStringList bodies;
    model_->notices().setNotifier(std::make_unique<Recorder>(&bodies));
    bool windowActive = false;
    model_->notices().setWindowActiveCheck([&] { return windowActive; });
    auto vault = addVault("Private", true);
    const QList<QUrl> files = outsideFiles();
    // Shorter than the limit: no notice.
    std::optional<bool> done;
    model_->importItems(vault, {files[0]}, [&](bool ok) { done = ok; });
    ASSERT_TRUE(spinUntil([&] { return done.has_value(); }, 20));
    EXPECT_TRUE(bodies.isEmpty());
    // Long enough, but the user looks at the window: no notice.
    model_->notices().setLongImportMs(0);
    windowActive = true;
    done.reset();
    model_->importItems(vault, {files[0]}, [&](bool ok) { done = ok; });
    ASSERT_TRUE(spinUntil([&] { return done.has_value(); }, 20));
    EXPECT_TRUE(bodies.isEmpty());
    // Long enough with no window active: a notice, and one that says when
    // items are missing.
    windowActive = false;
    done.reset();
    model_->importItems(vault, {files[1]}, [&](bool ok) { done = ok; });
    ASSERT_TRUE(spinUntil([&] { return done.has_value(); }, 20));
    done.reset();
    model_->importItems(vault, {QUrl::fromLocalFile(dir_.filePath("missing"))}, [&](bool ok) { done = ok; });
    ASSERT_TRUE(spinUntil([&] { return done.has_value(); }, 20));
    EXPECT_EQ(bodies, (QStringList{kx("notice.importDone", "Private"), kx("notice.importProblems", "Private")}))
        << bodies.join(" | ").toStdString();
}

TEST_F(ImportTest, TheFilesPanelTakesSeveralFilesAndTheFoldersPanelSeveralFolders) {
    using Kind = FilePanels::ImportKind;
    std::unique_ptr<QFileDialog> files(FilePanels::makeImportPanel(nullptr, Kind::files));
    EXPECT_EQ(files->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_FALSE(files->testOption(QFileDialog::DontUseNativeDialog)) << "the platform's own dialog";
    EXPECT_EQ(files->windowTitle(), kx("import.filesTitle"));
    std::unique_ptr<QFileDialog> folders(FilePanels::makeImportPanel(nullptr, Kind::folders));
    EXPECT_EQ(folders->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(folders->windowTitle(), kx("import.foldersTitle"));
    for (auto* view : folders->findChildren<QAbstractItemView*>(QStringLiteral("listView")))
        EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST_F(ImportTest, TheFoldersPanelKeepsImportOffWhileEmptyAndRefusesAFolderHoldingTheVaultBeforeClosing) {
    using Kind = FilePanels::ImportKind;
    auto vault = addVault("Private", true);
    fs::create_directories(root_ / "other");
    std::unique_ptr<QFileDialog> panel(
        FilePanels::makeImportPanel(nullptr, Kind::folders, FilePanels::refusingSourcesHolding(vault)));
    panel->setDirectory(dir_.path());
    panel->show();
    auto* name = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    auto* box = panel->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_TRUE(name && box);
    QPushButton* import = box->button(QDialogButtonBox::Open);
    QLabel* refusal = FilePanels::importRefusal(panel.get());
    ASSERT_TRUE(import && refusal);
    EXPECT_EQ(import->text(), kx("import.prompt"));
    // what Return in the field or the Import button does
    auto accept = [&] { static_cast<QDialog*>(panel.get())->accept(); };

    // empty: the folder shown (here one above the vault) is not taken
    name->clear();
    QApplication::processEvents();
    EXPECT_FALSE(import->isEnabled());
    accept();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_NE(panel->result(), QDialog::Accepted);

    struct Case {
        QString typed;
        QString refusedAs; // empty: taken
    };
    const QString tempName = QFileInfo(dir_.path()).fileName();
    const Case cases[] = {
        {QStringLiteral("vaults"), QStringLiteral("vaults")},  // the vault's parent
        {dir_.path(), tempName},                               // further up, as the home folder is
        {QStringLiteral("   "), QString()},                    // blank counts as empty
        {QStringLiteral("other"), QString()},                  // beside it: taken
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        name->setText(c.typed);
        QApplication::processEvents();
        if (c.typed.trimmed().isEmpty()) {
            EXPECT_FALSE(import->isEnabled());
            continue;
        }
        accept();
        if (!c.refusedAs.isEmpty()) {
            EXPECT_TRUE(panel->isVisible()) << "refused before the dialog closes";
            EXPECT_NE(panel->result(), QDialog::Accepted);
            EXPECT_FALSE(refusal->isHidden());
            EXPECT_EQ(refusal->text(), kx("err.importContainsVault", c.refusedAs));
            EXPECT_EQ(name->selectedText(), name->text()) << "ready to be typed over";
        } else {
            EXPECT_FALSE(panel->isVisible());
            EXPECT_EQ(panel->result(), QDialog::Accepted);
            EXPECT_EQ(panel->selectedUrls(),
                      QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString((root_ / "other").string()))});
        }
    }
    // typing again answers the refusal
    panel->show();
    name->setText(QStringLiteral("vaults"));
    accept();
    ASSERT_FALSE(refusal->isHidden());
    QTest::keyClicks(name, QStringLiteral("x"));
    EXPECT_TRUE(refusal->isHidden());
}

// ---- The desktop portal ------------------------------------------------------------------

// A stand-in for the portal's file chooser: answers OpenFile with the
// request path the caller expects and then sends Response on it.
class FakePortal final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
public:
    explicit FakePortal(QDBusConnection bus)
        : bus_(std::move(bus)) {}
    uint response = 0;
    QStringList uris;
    QVariantMap lastOptions;
    QString lastTitle;

public slots:
    QDBusObjectPath OpenFile(const QString&, const QString& title, const QVariantMap& options,
                             const QDBusMessage& message) {
        lastTitle = title;
        lastOptions = options;
        QString sender = message.service().mid(1);
        sender.replace('.', '_');
        const QString path = "/org/freedesktop/portal/desktop/request/" + sender + "/" +
                             options.value("handle_token").toString();
        QMetaObject::invokeMethod(
            this,
            [this, path] {
                QDBusMessage signal =
                    QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
                QVariantMap results;
                results.insert("uris", uris);
                signal << response << results;
                bus_.send(signal);
            },
            Qt::QueuedConnection);
        return QDBusObjectPath(path);
    }

private:
    QDBusConnection bus_;
};

TEST(PortalFileChooserTest, AsksThePortalForSeveralFilesOrFoldersAndTakesTheLocalAnswers) {
    QDBusConnection client = QDBusConnection::sessionBus();
    ASSERT_TRUE(client.isConnected());
    EXPECT_FALSE(PortalFileChooser::isAvailable(client)); // nothing runs yet

    QDBusConnection portalBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-portal");
    FakePortal portal(portalBus);
    ASSERT_TRUE(portalBus.registerObject(PortalFileChooser::path, &portal, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(portalBus.registerService(PortalFileChooser::service));
    EXPECT_TRUE(PortalFileChooser::isAvailable(client));

    struct Case {
        const char* label;
        bool directories;
        uint response;
        QStringList uris;
        bool answered;
        QList<QUrl> expected;
    };
    const std::vector<Case> cases{
        {"two files", false, 0, {"file:///tmp/a%20b.txt", "file:///tmp/c.txt"}, true,
         {QUrl::fromLocalFile("/tmp/a b.txt"), QUrl::fromLocalFile("/tmp/c.txt")}},
        {"folders; a remote item is left out", true, 0, {"file:///tmp/dir", "sftp://host/x"}, true,
         {QUrl::fromLocalFile("/tmp/dir")}},
        {"cancelled", false, 1, {}, true, {}},
        {"the portal gave up", false, 2, {}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        portal.response = c.response;
        portal.uris = c.uris;
        PortalFileChooser chooser(client);
        PortalFileChooser::Request request;
        request.title = "Choose";
        request.acceptLabel = "Import";
        request.directories = c.directories;
        std::optional<std::pair<bool, QList<QUrl>>> got;
        chooser.open(request, [&](bool answered, QList<QUrl> urls) { got = {answered, urls}; });
        ASSERT_TRUE(spinUntil([&] { return got.has_value(); }, 10));
        EXPECT_EQ(got->first, c.answered);
        EXPECT_EQ(got->second, c.expected);
        EXPECT_EQ(portal.lastTitle, "Choose");
        EXPECT_EQ(portal.lastOptions.value("multiple").toBool(), true);
        EXPECT_EQ(portal.lastOptions.value("directory").toBool(), c.directories);
        EXPECT_EQ(portal.lastOptions.value("accept_label").toString(), "Import");
    }

    // The portal's dialog has closed when a refused choice comes back: the
    // dialog is asked again with the reason as its title, until a choice is
    // taken; the refused one never reaches the caller.
    portal.response = 0;
    portal.uris = QStringList{"file:///tmp/holding"};
    const QString why = QStringLiteral("holds the vault");
    FilePanels::Refusal refuse = [&](const QList<QUrl>& urls) {
        return urls.contains(QUrl::fromLocalFile("/tmp/holding")) ? why : QString();
    };
    std::vector<QList<QUrl>> delivered;
    FilePanels::chooseImport(nullptr, FilePanels::ImportKind::folders,
                             [&](QList<QUrl> urls) { delivered.push_back(urls); }, refuse);
    ASSERT_TRUE(spinUntil([&] { return portal.lastTitle == why; }, 10));
    EXPECT_TRUE(delivered.empty());
    portal.uris = QStringList{"file:///tmp/beside"};
    ASSERT_TRUE(spinUntil([&] { return !delivered.empty(); }, 10));
    EXPECT_EQ(delivered, (std::vector<QList<QUrl>>{{QUrl::fromLocalFile("/tmp/beside")}}));
    portalBus.unregisterService(PortalFileChooser::service);
    QDBusConnection::disconnectFromBus("fake-portal");
}

// ---- Dropped from the file manager ---------------------------------------------------------

TEST_F(ImportTest, FilesDroppedOnTheWindowGoIntoTheSelectedUnlockedVaultWithTheResultSheet) {
    auto vault = addVault("Private", true);
    RootView root(model_.get());
    root.resize(900, 600);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
    ASSERT_TRUE(dragAndDrop(&root, QPoint(600, 300), outsideFiles()));
    ASSERT_TRUE(spinUntil([&] { return !sheetResults_.empty(); }, 20));
    EXPECT_EQ(sheetResults_.front().size(), 2u);
    EXPECT_TRUE(imported(vault));
    EXPECT_TRUE(promptTitles_.isEmpty());

    // A drag without local files is refused, and nothing is asked.
    bool entered = true;
    EXPECT_FALSE(dragAndDrop(&root, QPoint(600, 300), {QUrl("https://example.org/a.txt")}, &entered));
    EXPECT_FALSE(entered);
}

TEST_F(ImportTest, FilesDroppedOnALockedVaultInTheSidebarAskForItsPasswordFirst) {
    auto open = addVault("Open", true);
    auto locked = addVault("Locked", false);
    model_->setSelection(open->config().id);
    RootView root(model_.get());
    root.resize(900, 600);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
    QListWidget* list = root.sidebarList();
    ASSERT_EQ(list->count(), 2);
    const QPoint onLocked = list->visualItemRect(list->item(1)).center();
    ASSERT_TRUE(dragAndDrop(list->viewport(), onLocked, outsideFiles()));
    ASSERT_EQ(promptTitles_.size(), 1);
    EXPECT_EQ(promptTitles_[0], kx("import.unlockTitle", "Locked"));
    EXPECT_EQ(model_->selection(), locked->config().id); // the window shows the vault dropped on

    // A wrong password: the prompt stays, nothing is imported.
    std::optional<bool> first;
    promptAction_("wrong", [&](bool ok) { first = ok; });
    ASSERT_TRUE(spinUntil([&] { return first.has_value(); }, 20));
    EXPECT_FALSE(*first);
    EXPECT_FALSE(locked->isUnlocked());
    // The right one: unlocked, then the items go into that vault, not the other.
    std::optional<bool> second;
    promptAction_(rightPassword, [&](bool ok) { second = ok; });
    ASSERT_TRUE(spinUntil([&] { return second.has_value(); }, 20));
    EXPECT_TRUE(*second);
    ASSERT_TRUE(spinUntil([&] { return !sheetResults_.empty(); }, 20));
    EXPECT_TRUE(imported(locked));
    EXPECT_FALSE(fs::exists(open->mountPoint() / "one.txt"));
}

TEST_F(ImportTest, FilesDroppedOnThePasswordFieldAreImportedNotTyped) {
    auto locked = addVault("Locked", false);
    RootView root(model_.get());
    root.resize(900, 600);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
    ASSERT_TRUE(root.detail());
    QLineEdit* field = uitest::named<QLineEdit>(root.detail(), "passwordField");
    ASSERT_TRUE(field && field->isVisible());
    ASSERT_TRUE(dragAndDrop(field, field->rect().center(), outsideFiles()));
    EXPECT_TRUE(field->text().isEmpty());
    ASSERT_EQ(promptTitles_.size(), 1);
    EXPECT_EQ(promptTitles_[0], kx("import.unlockTitle", "Locked"));
}

TEST_F(ImportTest, AHoveringDragMarksTheVaultThatCanTakeItAndNoneThatCannot) {
    auto open = addVault("Open", true);
    addVault("Other", true);
    model_->setSelection(open->config().id);
    RootView root(model_.get());
    root.resize(900, 600);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
    QListWidget* list = root.sidebarList();
    ASSERT_EQ(list->count(), 2);
    QWidget* mark = root.findChild<QWidget*>(QStringLiteral("dropHighlight"));
    ASSERT_NE(mark, nullptr);
    EXPECT_FALSE(mark->isVisible());
    // the pane says that dragging works
    auto* hint = root.findChild<QLabel*>(QStringLiteral("dropHint"));
    ASSERT_NE(hint, nullptr);
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(hint->text(), kx("import.dropHint"));

    const QUrl vaultsFolder = QUrl::fromLocalFile(QString::fromStdString((root_ / "vaults").string()));
    const QList<QUrl> files = outsideFiles();
    struct Case {
        const char* label;
        bool onRow; // on the second vault's row; else on the pane (the selected vault)
        QList<QUrl> urls;
        bool marked;
    };
    const Case cases[] = {
        {"files over a vault's row", true, files, true},
        {"files over the pane", false, files, true},
        {"the folder holding the vaults over a row", true, {vaultsFolder}, false},
        {"the folder holding the vaults over the pane", false, {vaultsFolder}, false},
    };
    const QRect row = list->visualItemRect(list->item(1));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QWidget* target = c.onRow ? list->viewport() : root.detail();
        const QPoint pos = c.onRow ? row.center() : root.detail()->rect().center();
        QMimeData mime;
        mime.setUrls(c.urls);
        QDragEnterEvent enter(pos, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        EXPECT_EQ(enter.isAccepted(), c.marked);
        EXPECT_EQ(mark->isVisible(), c.marked);
        if (c.marked) {
            const QRect expected = c.onRow
                ? QRect(list->viewport()->mapTo(mark->parentWidget(), row.topLeft()), row.size())
                : mark->parentWidget()->rect();
            EXPECT_EQ(mark->geometry(), expected);
        }
        // leaving takes the mark away
        QDragLeaveEvent leave;
        QApplication::sendEvent(target, &leave);
        EXPECT_FALSE(mark->isVisible());
        // a refused drag is not taken when dropped either
        if (!c.marked) {
            QDropEvent drop(QPointF(pos), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &drop);
            EXPECT_FALSE(drop.isAccepted());
        }
    }
    // dropped: the mark goes, the import runs
    ASSERT_TRUE(dragAndDrop(list->viewport(), row.center(), files));
    EXPECT_FALSE(mark->isVisible());
    ASSERT_TRUE(spinUntil([&] { return !sheetResults_.empty(); }, 20));
    EXPECT_TRUE(promptTitles_.isEmpty());
}

} // namespace

#include "Import_test.moc"
