#pragma once

#include <QLabel>
#include <QStringList>

// Under an unlocked vault's actions: the sync conflict copies the watcher
// had to leave hidden, each named ("hiddenConflicts"; hidden when there are
// none).
class HiddenConflictsNote : public QLabel {
    Q_OBJECT
public:
    explicit HiddenConflictsNote(QWidget* parent = nullptr);

    void showConflicts(const QStringList& hidden);
};
