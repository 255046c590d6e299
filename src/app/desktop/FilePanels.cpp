#include "app/desktop/FilePanels.h"

#include "app/desktop/PortalFileChooser.h"
#include "app/desktop/WaylandWindowExport.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"

#include <QAbstractItemView>
#include <QDBusConnection>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

#include <memory>

namespace {

// Qt's own dialog choosing several folders at once: folder mode with
// several-at-once selection in its views; Accept takes what is selected.
class FoldersDialog : public QFileDialog {
public:
    explicit FoldersDialog(QWidget* parent)
        : QFileDialog(parent) {
        setOption(QFileDialog::DontUseNativeDialog, true);
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly, true);
        for (auto* view : findChildren<QAbstractItemView*>(QStringLiteral("listView")))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        for (auto* view : findChildren<QAbstractItemView*>(QStringLiteral("treeView")))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }

    void accept() override {
        const QStringList files = selectedFiles();
        if (files.isEmpty()) return;
        for (const QString& f : files)
            if (!QFileInfo(f).isDir()) return;
        QDialog::accept();
    }
};

QString titleOf(FilePanels::ImportKind kind) {
    return kind == FilePanels::ImportKind::files ? kx("import.filesTitle") : kx("import.foldersTitle");
}

// The portal's name for the window the dialog belongs to: on X11 the
// window's id; on Wayland a handle the compositor gives for the window
// (xdg-foreign), valid while `exported` lives. Empty elsewhere (the dialog
// then has no parent).
QString portalParent(QWidget* parent, std::shared_ptr<WaylandWindowExport>& exported) {
    if (!parent) return {};
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb"))
        return QStringLiteral("x11:") + QString::number(parent->window()->winId(), 16);
    if (platform == QLatin1String("wayland")) {
        exported = std::make_shared<WaylandWindowExport>(parent->window()->windowHandle());
        if (exported->handle().isEmpty())
            kxcore::Log::shared().info("the file dialog gets no parent window: " + exported->why().toStdString());
        return exported->portalParent();
    }
    return {};
}

void openQtDialog(QWidget* parent, FilePanels::ImportKind kind, FilePanels::Chosen chosen) {
    QFileDialog* panel = FilePanels::makeImportPanel(parent, kind);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    QObject::connect(panel, &QFileDialog::finished, panel, [panel, chosen = std::move(chosen)](int result) {
        chosen(result == QDialog::Accepted ? panel->selectedUrls() : QList<QUrl>{});
    });
    panel->open();
}

} // namespace

FilePanels::ImportHook& FilePanels::importHook() {
    static ImportHook hook;
    return hook;
}

QFileDialog* FilePanels::makeExistingPanel(QWidget* parent) {
    auto* panel = new QFileDialog(parent, kx("addExisting.message"));
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly, false);
    panel->setFilter(panel->filter() | QDir::Hidden);
    panel->setDirectory(QDir::homePath());
    return panel;
}

QFileDialog* FilePanels::makeImportPanel(QWidget* parent, ImportKind kind) {
    QFileDialog* panel = nullptr;
    if (kind == ImportKind::files) {
        // The platform's dialog: several files at once.
        panel = new QFileDialog(parent);
        panel->setFileMode(QFileDialog::ExistingFiles);
    } else {
        panel = new FoldersDialog(parent);
    }
    panel->setWindowTitle(titleOf(kind));
    panel->setLabelText(QFileDialog::Accept, kx("import.prompt"));
    panel->setDirectory(QDir::homePath());
    return panel;
}

std::optional<QUrl> FilePanels::chooseExisting(QWidget* parent) {
    QFileDialog* panel = makeExistingPanel(parent);
    std::optional<QUrl> chosen;
    if (panel->exec() == QDialog::Accepted && !panel->selectedUrls().isEmpty())
        chosen = panel->selectedUrls().first();
    delete panel;
    return chosen;
}

void FilePanels::chooseImport(QWidget* parent, ImportKind kind, Chosen chosen) {
    if (importHook()) {
        importHook()(parent, kind, std::move(chosen));
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!PortalFileChooser::isAvailable(bus)) {
        openQtDialog(parent, kind, std::move(chosen));
        return;
    }
    auto* portal = new PortalFileChooser(bus, parent);
    PortalFileChooser::Request request;
    // the export lives until the portal has answered (the dialog is closed)
    std::shared_ptr<WaylandWindowExport> exported;
    request.parentWindow = portalParent(parent, exported);
    request.title = titleOf(kind);
    request.acceptLabel = kx("import.prompt");
    request.directories = kind == ImportKind::folders;
    request.multiple = true;
    QPointer<QWidget> guard(parent);
    portal->open(request, [portal, guard, kind, exported, chosen = std::move(chosen)](bool answered,
                                                                                     QList<QUrl> urls) mutable {
        portal->deleteLater();
        exported.reset();
        if (answered) {
            chosen(std::move(urls));
            return;
        }
        // The portal failed: the dialog of the toolkit instead.
        if (guard)
            openQtDialog(guard, kind, chosen);
        else
            chosen({});
    });
}
