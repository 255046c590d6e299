#include "app/sheets/SheetPresenter.h"

#include <QDialog>

SheetPresenter::Hooks& SheetPresenter::hooks() {
    static Hooks h;
    return h;
}

QDialog* SheetPresenter::present(QDialog* dialog) {
    if (!dialog) return nullptr;
    // a sheet belongs to its window: a title and (unless the sheet refuses
    // it) a close button, never minimise or maximise
    Qt::WindowFlags flags = dialog->windowFlags();
    const bool closable = flags.testFlag(Qt::WindowCloseButtonHint);
    flags &= ~(Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint);
    flags |= Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    flags.setFlag(Qt::WindowCloseButtonHint, closable);
    dialog->setWindowFlags(flags);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->open();
    return dialog;
}

QDialog* SheetPresenter::openCreate(AppModel* model, QWidget* parent) {
    return hooks().create ? present(hooks().create(model, parent)) : nullptr;
}

QDialog* SheetPresenter::openRecover(AppModel* model, const VaultPtr& vault, QWidget* parent) {
    return hooks().recover ? present(hooks().recover(model, vault, parent)) : nullptr;
}

QDialog* SheetPresenter::openChangePassword(AppModel* model, const VaultPtr& vault, QWidget* parent) {
    return hooks().changePassword ? present(hooks().changePassword(model, vault, parent)) : nullptr;
}

QDialog* SheetPresenter::openPasswordPrompt(const QString& title, const QString& note, PasswordAction action,
                                            QWidget* parent) {
    return hooks().passwordPrompt ? present(hooks().passwordPrompt(title, note, std::move(action), parent))
                                  : nullptr;
}

QDialog* SheetPresenter::openImportResults(AppModel* model, std::vector<vaultkit::Importer::Result> results,
                                           QWidget* parent) {
    return hooks().importResults ? present(hooks().importResults(model, std::move(results), parent))
                                 : nullptr;
}

QDialog* SheetPresenter::openMnemonic(const QString& title, const QString& vaultName,
                                      const vaultkit::Mnemonic& mnemonic, std::function<void()> onDone,
                                      QWidget* parent) {
    return hooks().mnemonic ? present(hooks().mnemonic(title, vaultName, mnemonic, std::move(onDone), parent))
                            : nullptr;
}
