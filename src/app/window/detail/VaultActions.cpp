#include "app/window/detail/VaultActions.h"

#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QEvent>
#include <QMenu>
#include <QPushButton>

VaultActions::VaultActions(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : WrappingRow(parent, 10)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("vaultActions"));
    open_ = new QPushButton(kx("action.openFinder"), this);
    open_->setObjectName(QStringLiteral("openButton"));
    KXStyle::makeProminent(open_);
    connect(open_, &QPushButton::clicked, this, [this] {
        if (model_) model_->openInFileManager(vault_);
    });
    addWidget(open_);
    import_ = new QPushButton(kx("action.import"), this);
    import_->setObjectName(QStringLiteral("importButton"));
    auto* importMenu = new QMenu(import_);
    QAction* importFiles = importMenu->addAction(kx("action.importFiles"));
    importFiles->setObjectName(QStringLiteral("importFiles"));
    QAction* importFolder = importMenu->addAction(kx("action.importFolder"));
    importFolder->setObjectName(QStringLiteral("importFolder"));
    connect(importFiles, &QAction::triggered, this, [this] { pickImport(FilePanels::ImportKind::files); });
    connect(importFolder, &QAction::triggered, this, [this] { pickImport(FilePanels::ImportKind::folders); });
    import_->setMenu(importMenu);
    addWidget(import_);
    lock_ = new QPushButton(kx("action.lock"), this);
    lock_->setObjectName(QStringLiteral("lockButton"));
    connect(lock_, &QPushButton::clicked, this, &VaultActions::lock);
    addWidget(lock_);
    paintSymbols();
}

void VaultActions::pickImport(FilePanels::ImportKind kind) {
    QPointer<AppModel> model = model_;
    const AppModel::VaultPtr vault = vault_;
    FilePanels::chooseImport(
        window(), kind,
        [model, vault](const QList<QUrl>& urls) {
            if (urls.isEmpty() || !model) return;
            model->importItems(vault, urls);
        },
        FilePanels::refusingSourcesHolding(vault));
}

void VaultActions::lock() {
    if (model_) model_->lock(vault_, false);
}

void VaultActions::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        paintSymbols();
    WrappingRow::changeEvent(event);
}

void VaultActions::paintSymbols() {
    const QPalette& pal = palette();
    const QColor buttonText = pal.color(QPalette::ButtonText);
    open_->setIcon(KXSymbol::tinted(QStringLiteral("folder"), pal.color(QPalette::HighlightedText)));
    import_->setIcon(KXSymbol::tinted(QStringLiteral("square.and.arrow.down.on.square"), buttonText));
    lock_->setIcon(KXSymbol::tinted(QStringLiteral("lock.fill"), buttonText));
}
