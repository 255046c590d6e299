// The application's own sheets behind the presenter's hooks.
#include "app/sheets/ChangePasswordSheet.h"
#include "app/sheets/ImportResultSheet.h"
#include "app/sheets/MnemonicSheet.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/RecoverSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/sheets/create/CreateSheet.h"

void SheetPresenter::installStandard() {
    Hooks& h = hooks();
    h.create = [](AppModel* model, QWidget* parent) -> QDialog* { return new CreateSheet(model, parent); };
    h.recover = [](AppModel* model, VaultPtr vault, QWidget* parent) -> QDialog* {
        return new RecoverSheet(model, std::move(vault), parent);
    };
    h.changePassword = [](AppModel* model, VaultPtr vault, QWidget* parent) -> QDialog* {
        return new ChangePasswordSheet(model, std::move(vault), parent);
    };
    h.passwordPrompt = [](const QString& title, const QString& note, PasswordAction action,
                          QWidget* parent) -> QDialog* {
        return new PasswordPromptSheet(title, note, std::move(action), parent);
    };
    h.importResults = [](AppModel* model, std::vector<vaultkit::Importer::Result> results,
                         QWidget* parent) -> QDialog* {
        return new ImportResultSheet(model, std::move(results), parent);
    };
    h.mnemonic = [](const QString& title, const QString& vaultName, const vaultkit::Mnemonic& mnemonic,
                    std::function<void()> onDone, QWidget* parent) -> QDialog* {
        auto* sheet = new MnemonicSheet(title, mnemonic, std::move(onDone), parent);
        sheet->setVaultName(vaultName);
        return sheet;
    };
}
