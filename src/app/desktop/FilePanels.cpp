#include "app/desktop/FilePanels.h"

#include "app/desktop/PortalFileChooser.h"
#include "app/desktop/WaylandWindowExport.h"
#include "app/widgets/FieldError.h"
#include "kxcore/Log.h"
#include "kxui/kx.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/vault/Vault.h"

#include <QAbstractItemView>
#include <QDBusConnection>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <filesystem>
#include <memory>

namespace {

// Qt's own dialog choosing several folders at once: folder mode with
// several-at-once selection in its views; Accept takes what is selected.
// With an empty file name field Accept is off (the dialog would take the
// folder it shows); a selection the refusal refuses keeps the dialog open
// with the reason under the field.
class FoldersDialog : public QFileDialog {
public:
    FoldersDialog(QWidget* parent, FilePanels::Refusal refuse)
        : QFileDialog(parent)
        , refuse_(std::move(refuse)) {
        setOption(QFileDialog::DontUseNativeDialog, true);
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly, true);
        for (auto* view : findChildren<QAbstractItemView*>(QStringLiteral("listView")))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        for (auto* view : findChildren<QAbstractItemView*>(QStringLiteral("treeView")))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        nameField_ = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (auto* box = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
            acceptButton_ = box->button(QDialogButtonBox::Open);
        refusal_ = new FieldError(nameField_, this);
        refusal_->setObjectName(QStringLiteral("importRefusal"));
        refusal_->hide();
        if (auto* grid = qobject_cast<QGridLayout*>(layout()))
            grid->addWidget(refusal_, grid->rowCount(), 0, 1, grid->columnCount());
        if (nameField_) {
            connect(nameField_, &QLineEdit::textChanged, refusal_, &QLabel::hide);
            connect(nameField_, &QLineEdit::textChanged, this, [this] { gateAccept(); });
        }
        // the dialog turns its button on whenever it sees fit (a folder
        // entered, a selection changed); it stays off for an empty field
        if (acceptButton_) acceptButton_->installEventFilter(this);
        gateAccept();
    }

    void accept() override {
        if (nameIsEmpty()) return;
        const QStringList files = selectedFiles();
        if (files.isEmpty()) return;
        for (const QString& f : files)
            if (!QFileInfo(f).isDir()) return;
        if (refuse_) {
            const QString why = refuse_(selectedUrls());
            if (!why.isEmpty()) {
                refusal_->hide();
                refusal_->setText(why);
                refusal_->show();
                if (nameField_) {
                    nameField_->setFocus();
                    nameField_->selectAll();
                }
                return;
            }
        }
        QDialog::accept();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == acceptButton_ && event->type() == QEvent::EnabledChange) gateAccept();
        return QFileDialog::eventFilter(watched, event);
    }

private:
    bool nameIsEmpty() const { return nameField_ && nameField_->text().trimmed().isEmpty(); }
    void gateAccept() {
        if (acceptButton_ && acceptButton_->isEnabled() && nameIsEmpty()) acceptButton_->setEnabled(false);
    }

    FilePanels::Refusal refuse_;
    QLineEdit* nameField_ = nullptr;
    QPushButton* acceptButton_ = nullptr;
    FieldError* refusal_ = nullptr;
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

// A refusal after the dialog closed: the same dialog again, titled with
// the reason.
void openQtDialog(QWidget* parent, FilePanels::ImportKind kind, FilePanels::Chosen chosen,
                  FilePanels::Refusal refuse, const QString& title = {}) {
    QFileDialog* panel = FilePanels::makeImportPanel(parent, kind, refuse);
    if (!title.isEmpty()) panel->setWindowTitle(title);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    QObject::connect(panel, &QFileDialog::finished, panel,
                     [panel, parent, kind, chosen = std::move(chosen), refuse = std::move(refuse)](int result) {
                         const QList<QUrl> urls = result == QDialog::Accepted ? panel->selectedUrls() : QList<QUrl>{};
                         const QString why = urls.isEmpty() || !refuse ? QString() : refuse(urls);
                         if (!why.isEmpty()) {
                             openQtDialog(parent, kind, chosen, refuse, why);
                             return;
                         }
                         chosen(urls);
                     });
    panel->open();
}

// The portal's dialog closes before the application sees the choice: a
// refused one is asked again, the reason as the dialog's title.
void openPortal(QDBusConnection bus, QWidget* parent, FilePanels::ImportKind kind, FilePanels::Chosen chosen,
                FilePanels::Refusal refuse, const QString& title) {
    auto* portal = new PortalFileChooser(bus, parent);
    PortalFileChooser::Request request;
    // the export lives until the portal has answered (the dialog is closed)
    std::shared_ptr<WaylandWindowExport> exported;
    request.parentWindow = portalParent(parent, exported);
    request.title = title.isEmpty() ? titleOf(kind) : title;
    request.acceptLabel = kx("import.prompt");
    request.directories = kind == FilePanels::ImportKind::folders;
    request.multiple = true;
    QPointer<QWidget> guard(parent);
    portal->open(request, [portal, bus, guard, kind, exported, title, chosen = std::move(chosen),
                           refuse = std::move(refuse)](bool answered, QList<QUrl> urls) mutable {
        portal->deleteLater();
        exported.reset();
        if (answered) {
            const QString why = urls.isEmpty() || !refuse ? QString() : refuse(urls);
            if (!why.isEmpty()) {
                openPortal(bus, guard, kind, std::move(chosen), std::move(refuse), why);
                return;
            }
            chosen(std::move(urls));
            return;
        }
        // The portal failed: the dialog of the toolkit instead.
        if (guard)
            openQtDialog(guard, kind, chosen, refuse, title);
        else
            chosen({});
    });
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

QFileDialog* FilePanels::makeImportPanel(QWidget* parent, ImportKind kind, Refusal refuse) {
    QFileDialog* panel = nullptr;
    if (kind == ImportKind::files) {
        // The platform's dialog: several files at once.
        panel = new QFileDialog(parent);
        panel->setFileMode(QFileDialog::ExistingFiles);
    } else {
        panel = new FoldersDialog(parent, std::move(refuse));
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

QLabel* FilePanels::importRefusal(QFileDialog* panel) {
    return panel ? panel->findChild<QLabel*>(QStringLiteral("importRefusal")) : nullptr;
}

FilePanels::Refusal FilePanels::refusingSourcesHolding(std::shared_ptr<const vaultkit::Vault> vault) {
    return [vault = std::move(vault)](const QList<QUrl>& urls) -> QString {
        if (!vault) return {};
        std::vector<std::filesystem::path> sources;
        for (const QUrl& url : urls)
            sources.emplace_back(url.toLocalFile().toStdString());
        if (const auto holding = vaultkit::Importer::sourceHoldingVault(sources, *vault))
            return kx("err.importContainsVault", QString::fromStdString(holding->filename().string()));
        return {};
    };
}

void FilePanels::chooseImport(QWidget* parent, ImportKind kind, Chosen chosen, Refusal refuse) {
    if (importHook()) {
        importHook()(parent, kind, std::move(chosen));
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!PortalFileChooser::isAvailable(bus)) {
        openQtDialog(parent, kind, std::move(chosen), std::move(refuse));
        return;
    }
    openPortal(bus, parent, kind, std::move(chosen), std::move(refuse), QString());
}
