#pragma once

#include "vaultkit/crypto/Mnemonic.h"

#include <QDialog>
#include <QString>

#include <functional>

class MnemonicGrid;
class QCheckBox;
class QPushButton;

// Shows a recovery phrase just made. There is no Cancel: Done is enabled
// once the user confirms the words are written down, and calls onDone (which
// clears the model's phrase). Escape and the window's close button do
// nothing. The phrase can be printed.
class MnemonicSheet : public QDialog {
    Q_OBJECT
public:
    MnemonicSheet(const QString& title, const vaultkit::Mnemonic& mnemonic, std::function<void()> onDone,
                  QWidget* parent = nullptr);
    // The vault's name on the printed sheet.
    void setVaultName(const QString& name) { vaultName_ = name; }

    MnemonicGrid* grid() const { return grid_; }
    QCheckBox* wroteToggle() const { return wrote_; }
    QPushButton* doneButton() const { return done_; }
    QPushButton* printButton() const { return print_; }

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void finish();

    QStringList words_;
    QString vaultName_;
    std::function<void()> onDone_;
    bool finished_ = false;
    MnemonicGrid* grid_;
    QCheckBox* wrote_;
    QPushButton* print_;
    QPushButton* done_;
};
