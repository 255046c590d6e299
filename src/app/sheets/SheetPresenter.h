#pragma once

#include "app/model/AppModel.h"
#include "vaultkit/crypto/Mnemonic.h"
#include "vaultkit/import/Importer.h"

#include <QString>

#include <functional>
#include <vector>

class QDialog;
class QWidget;

// The sheets the main window opens, one function per sheet. Each builds its
// sheet through a replaceable hook, opens it window-modal on `parent`
// (deleted when closed) and returns it, or returns nothing when no sheet is
// installed for it. The caller learns of the end through QDialog::finished.
//
// installStandard() installs the application's own sheets; tests install
// their own hooks to see what the window asks for.
class SheetPresenter {
public:
    SheetPresenter() = delete;

    using VaultPtr = AppModel::VaultPtr;
    // The action of a password prompt: runs for the typed password and calls
    // `done` once with the outcome (the sheet closes on true).
    using PasswordAction = std::function<void(const QString& password, std::function<void(bool)> done)>;

    struct Hooks {
        std::function<QDialog*(AppModel* model, QWidget* parent)> create;
        std::function<QDialog*(AppModel* model, VaultPtr vault, QWidget* parent)> recover;
        std::function<QDialog*(AppModel* model, VaultPtr vault, QWidget* parent)> changePassword;
        std::function<QDialog*(const QString& title, const QString& note, PasswordAction action,
                               QWidget* parent)>
            passwordPrompt;
        std::function<QDialog*(AppModel* model, std::vector<vaultkit::Importer::Result> results,
                               QWidget* parent)>
            importResults;
        std::function<QDialog*(const QString& title, const QString& vaultName,
                               const vaultkit::Mnemonic& mnemonic, std::function<void()> onDone,
                               QWidget* parent)>
            mnemonic;
    };

    static Hooks& hooks();
    static void installStandard();

    static QDialog* openCreate(AppModel* model, QWidget* parent);
    static QDialog* openRecover(AppModel* model, const VaultPtr& vault, QWidget* parent);
    static QDialog* openChangePassword(AppModel* model, const VaultPtr& vault, QWidget* parent);
    static QDialog* openPasswordPrompt(const QString& title, const QString& note, PasswordAction action,
                                       QWidget* parent);
    static QDialog* openImportResults(AppModel* model, std::vector<vaultkit::Importer::Result> results,
                                      QWidget* parent);
    static QDialog* openMnemonic(const QString& title, const QString& vaultName,
                                 const vaultkit::Mnemonic& mnemonic, std::function<void()> onDone,
                                 QWidget* parent);

    // Makes `dialog` a sheet of `parent`: window-modal, without minimise and
    // maximise buttons, deleted when closed, opened without blocking.
    // Returns it.
    static QDialog* present(QDialog* dialog);
};
