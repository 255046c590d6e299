#pragma once

#include <QList>
#include <QUrl>

#include <functional>
#include <optional>

class QFileDialog;
class QWidget;

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
    static void chooseImport(QWidget* parent, ImportKind kind, Chosen chosen);
    // Replaces the dialogs (tests answer in their place); empty: the dialogs.
    using ImportHook = std::function<void(QWidget* parent, ImportKind kind, Chosen chosen)>;
    static ImportHook& importHook();

    // The dialogs themselves, unopened (tests look at their options).
    static QFileDialog* makeExistingPanel(QWidget* parent);
    static QFileDialog* makeImportPanel(QWidget* parent, ImportKind kind);
};
