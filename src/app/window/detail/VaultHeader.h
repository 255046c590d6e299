#pragma once

#include <QWidget>

class ElidedLabel;
class PathLabel;
class QLabel;

// The top of a vault's pane: the state symbol on a tinted tile, the vault's
// name (elided, whole in the tooltip), the folder it opens at and a badge
// with its state. Controls: "vaultName", "vaultPath", "stateBadge".
class VaultHeader : public QWidget {
    Q_OBJECT
public:
    explicit VaultHeader(QWidget* parent = nullptr);

    void showVault(const QString& name, const QString& mountPoint, bool unlocked, bool stale);

protected:
    void changeEvent(QEvent* event) override;

private:
    void paintSymbols();

    bool unlocked_ = false;
    QLabel* tile_ = nullptr;
    ElidedLabel* name_ = nullptr;
    PathLabel* path_ = nullptr;
    QLabel* badge_ = nullptr;
};
