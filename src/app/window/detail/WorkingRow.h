#pragma once

#include <QWidget>

#include <optional>

class BusySpinner;
class QLabel;
class QProgressBar;

// The row under a vault's header while the model works on the vault: a
// spinner, what it does ("workingText") and, for an import, how far it has
// come ("importProgress"). Hidden while nothing runs.
class WorkingRow : public QWidget {
    Q_OBJECT
public:
    explicit WorkingRow(QWidget* parent = nullptr);

    // `work` is what runs (none: the row hides); `progress` runs from 0 to 1.
    void showWork(const std::optional<QString>& work, std::optional<double> progress);

private:
    BusySpinner* spinner_ = nullptr;
    QLabel* text_ = nullptr;
    QProgressBar* importBar_ = nullptr;
};
