#pragma once

#include <QList>
#include <QUrl>

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QFileDialog;
class QLabel;
class QWidget;

namespace vaultkit {
class Vault;
}

// The open panels of the main window, on the desktop's file dialog.
class FilePanels {
public:
    FilePanels() = delete;

    // "Add existing vault": one folder (a vault's visible folder or its
    // hidden vault directory), hidden files shown so ".N.hushcoffer" can be
    // picked, titled kx("addExisting.message"). Modal; none when cancelled.
    static std::optional<QUrl> chooseExisting(QWidget* parent);

    // "Import Files…" and "Import Folder…": several items at once, confirm
    // button kx("import.prompt"). The desktop's own dialog through the XDG
    // desktop portal where the portal runs; otherwise Qt's platform dialog
    // for files, and for folders Qt's own dialog with several-at-once
    // selection (the platform dialogs take one folder only). Never blocks:
    // `chosen` runs once, on the GUI thread, with the chosen items (empty
    // when cancelled).
    enum class ImportKind { files, folders };
    using Chosen = std::function<void(QList<QUrl> urls)>;
    // Why a selection cannot be imported (empty: it can). The folders
    // dialog refuses such a selection before it closes, says why under its
    // file name field and stays open; a dialog that closes by itself (the
    // portal's, a platform dialog) is opened again with the reason as its
    // title, until a selection is taken or the user cancels.
    using Refusal = std::function<QString(const QList<QUrl>& urls)>;
    static void chooseImport(QWidget* parent, ImportKind kind, Chosen chosen, Refusal refuse = {});
    // Refuses a selection holding `vault` (the vault's folder or one above
    // it): it would be copied into itself.
    static Refusal refusingSourcesHolding(std::shared_ptr<const vaultkit::Vault> vault);
    // Replaces the dialogs (tests answer in their place); empty: the dialogs.
    using ImportHook = std::function<void(QWidget* parent, ImportKind kind, Chosen chosen)>;
    static ImportHook& importHook();

    // The dialogs themselves, unopened (tests look at their options).
    static QFileDialog* makeExistingPanel(QWidget* parent);
    // The folders dialog's Import is off while its file name field is empty
    // (it would take the folder shown, often the home folder holding the
    // vault) and refuses what `refuse` refuses; importRefusal() is the label
    // saying why (none for the files dialog).
    static QFileDialog* makeImportPanel(QWidget* parent, ImportKind kind, Refusal refuse = {});
    static QLabel* importRefusal(QFileDialog* panel);
};
