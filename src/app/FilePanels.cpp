#include "app/FilePanels.h"

#include "kxui/kx.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

namespace {

// A file dialog that accepts files and folders together: the desktop's
// dialogs choose either files or folders, never both, so this one is Qt's
// own dialog in folder mode with several-at-once selection in its views, and
// Accept takes whatever is selected.
class ItemsDialog : public QFileDialog {
public:
    explicit ItemsDialog(QWidget* parent)
        : QFileDialog(parent) {
        setOption(QFileDialog::DontUseNativeDialog, true);
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly, false);
        for (auto* view : findChildren<QAbstractItemView*>(QStringLiteral("listView")))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        for (auto* view : findChildren<QAbstractItemView*>(QStringLiteral("treeView")))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }

    void accept() override {
        const QStringList files = selectedFiles();
        if (files.isEmpty()) return;
        for (const QString& f : files)
            if (!QFileInfo::exists(f)) return;
        // a single folder typed or double-clicked is entered, as usual
        QDialog::accept();
    }
};

} // namespace

QFileDialog* FilePanels::makeExistingPanel(QWidget* parent) {
    auto* panel = new QFileDialog(parent, kx("addExisting.message"));
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly, false);
    panel->setFilter(panel->filter() | QDir::Hidden);
    panel->setDirectory(QDir::homePath());
    return panel;
}

QFileDialog* FilePanels::makeImportPanel(QWidget* parent) {
    auto* panel = new ItemsDialog(parent);
    panel->setWindowTitle(kx("import.message"));
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

QList<QUrl> FilePanels::chooseImportItems(QWidget* parent) {
    QFileDialog* panel = makeImportPanel(parent);
    QList<QUrl> chosen;
    if (panel->exec() == QDialog::Accepted) chosen = panel->selectedUrls();
    delete panel;
    return chosen;
}
