#pragma once

#include <QList>
#include <QUrl>

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

    // "Import": files and folders together, several at once, titled
    // kx("import.message"), confirm button kx("import.prompt"). Modal; empty
    // when cancelled or nothing was chosen.
    static QList<QUrl> chooseImportItems(QWidget* parent);

    // The dialogs themselves, unopened (tests look at their options).
    static QFileDialog* makeExistingPanel(QWidget* parent);
    static QFileDialog* makeImportPanel(QWidget* parent);
};
