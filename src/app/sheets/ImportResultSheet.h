#pragma once

#include "vaultkit/import/Importer.h"

#include <QDialog>
#include <QPointer>

#include <vector>

class AppModel;
class QLabel;
class QPushButton;
class QScrollArea;

// The summary after an import: one row per imported item (a check or a stop
// sign, its name, the number of files and their size, and at most the first
// five problems), a note that the originals are still in place, and the
// choice to keep them or (when at least one item came through complete) to
// move those to the Trash.
class ImportResultSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int maxProblemsShown = 5;

    // A row's title: the name the item got in the vault (the source's name
    // when nothing arrived to be named).
    static QString shownName(const vaultkit::Importer::Result& result);
    // A row's counts: files (folders too when there are any) and size.
    static QString statsText(const vaultkit::Importer::Result& result);

    ImportResultSheet(AppModel* model, std::vector<vaultkit::Importer::Result> results,
                      QWidget* parent = nullptr);

    // The number of complete imports.
    int okCount() const;

    // Keep: the model's results are cleared and the originals stay.
    void keep();
    // Moves the originals of the complete imports to the Trash (the model
    // clears the results and reports in a banner).
    void trash();

    QPushButton* keepButton() const { return keep_; }
    // None when no import is complete.
    QPushButton* trashButton() const { return trash_; }
    QScrollArea* list() const { return list_; }
    // The labels of row i: name, stats, and the problems shown.
    QLabel* nameLabel(int i) const;
    QLabel* statsLabel(int i) const;
    QList<QLabel*> problemLabels(int i) const;

public slots:
    // Closing the summary (Escape) keeps the originals, as Keep does.
    void reject() override;

private:
    struct Row {
        QLabel* name = nullptr;
        QLabel* stats = nullptr;
        QList<QLabel*> problems;
    };

    QPointer<AppModel> model_;
    std::vector<vaultkit::Importer::Result> results_;
    QScrollArea* list_;
    QList<Row> rows_;
    QPushButton* keep_ = nullptr;
    QPushButton* trash_ = nullptr;
};
