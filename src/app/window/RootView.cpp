#include "app/window/RootView.h"

#include "app/desktop/FilePanels.h"
#include "app/sheets/DataCheckSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/BannerView.h"
#include "app/window/EmptyState.h"
#include "app/window/ImportDrop.h"
#include "app/window/VaultDetail.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QDialog>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

namespace {

// The sidebar's surface: a shade apart from the detail pane, with a thin
// line along its trailing edge.
class SidebarSurface : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QPalette& pal = palette();
        const QColor window = pal.color(QPalette::Window);
        p.fillRect(rect(), KXStyle::isDark(pal) ? window.darker(118) : window.darker(104));
        p.setPen(KXStyle::separator(pal));
        p.drawLine(width() - 1, 0, width() - 1, height());
    }
};

constexpr int idRole = Qt::UserRole + 1;

QString idText(const vaultkit::Uuid& id) {
    return QString::fromStdString(id.text());
}

} // namespace

RootView::RootView(AppModel* model, QWidget* parent)
    : QWidget(parent)
    , model_(model) {
    setObjectName(QStringLiteral("rootView"));
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    split_ = new QSplitter(Qt::Horizontal, this);
    split_->setChildrenCollapsible(false);
    split_->setHandleWidth(1);
    outer->addWidget(split_);

    // ---- sidebar ----
    auto* sidebar = new SidebarSurface(split_);
    sidebar->setObjectName(QStringLiteral("sidebar"));
    auto* side = new QVBoxLayout(sidebar);
    side->setContentsMargins(10, 12, 10, 10);
    side->setSpacing(6);
    auto* heading = new QLabel(kx("sidebar.vaults"), sidebar);
    KXStyle::setFont(heading, KXStyle::Text::caption);
    QFont hf = heading->font();
    hf.setBold(true);
    heading->setFont(hf);
    KXStyle::setTone(heading, KXStyle::Tone::secondary);
    heading->setContentsMargins(6, 0, 0, 0);
    side->addWidget(heading);
    list_ = new QListWidget(sidebar);
    list_->setObjectName(QStringLiteral("vaultList"));
    list_->setAccessibleName(heading->text());
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setIconSize(QSize(16, 16));
    list_->setSpacing(1);
    list_->viewport()->setAutoFillBackground(false);
    list_->setAutoFillBackground(false);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setTextElideMode(Qt::ElideRight);
    connect(list_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (updatingList_ || !model_ || !item) return;
        if (auto id = vaultkit::Uuid::parse(item->data(idRole).toString().toStdString()))
            model_->setSelection(*id);
    });
    side->addWidget(list_, 1);
    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(6);
    newButton_ = new QPushButton(kx("action.new"), sidebar);
    connect(newButton_, &QPushButton::clicked, this, &RootView::showCreate);
    bottom->addWidget(newButton_);
    bottom->addStretch(1);
    addExisting_ = new QPushButton(kx("action.addExisting"), sidebar);
    KXStyle::makeLink(addExisting_);
    KXStyle::setFont(addExisting_, KXStyle::Text::callout);
    connect(addExisting_, &QPushButton::clicked, this, &RootView::pickExisting);
    bottom->addWidget(addExisting_);
    side->addLayout(bottom);
    sidebar->setMinimumWidth(std::max(sidebarMinWidth, bottom->sizeHint().width() + 20));

    // ---- detail column with the banner over its bottom ----
    detailColumn_ = new QWidget(split_);
    detailColumn_->setObjectName(QStringLiteral("detailColumn"));
    detailColumn_->setAutoFillBackground(true);
    auto* detailLayout = new QVBoxLayout(detailColumn_);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    detailHost_ = new QWidget(detailColumn_);
    auto* hostLayout = new QVBoxLayout(detailHost_);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    detailLayout->addWidget(detailHost_);
    banner_ = new BannerView(model_, detailColumn_);
    banner_->installEventFilter(this);
    detailColumn_->installEventFilter(this);

    split_->addWidget(sidebar);
    split_->addWidget(detailColumn_);
    split_->setStretchFactor(0, 0);
    split_->setStretchFactor(1, 1);
    split_->setSizes({sidebar->minimumWidth() + 20, 700});

    // the detail column is the lighter surface; the sidebar keeps the window colour
    detailColumn_->setBackgroundRole(QPalette::Window);

    if (model_) connect(model_, &AppModel::changed, this, &RootView::refresh);
    // Files and folders dragged here from the file manager are imported.
    new ImportDrop(model_, this, list_, idRole);
    paintSidebarIcons();
    refresh();
}

void RootView::paintSidebarIcons() {
    newButton_->setIcon(KXSymbol::tinted(QStringLiteral("plus"), palette().color(QPalette::ButtonText)));
}

RootView::~RootView() {
    if (busyAlert_) busyAlert_->deleteLater();
}

QString RootView::busyMessage(const QStringList& processes) {
    return kx("busy.body", processes.isEmpty() ? QStringLiteral("?") : processes.join(QStringLiteral(", ")));
}

void RootView::showCreate() {
    if (createSheet_ || !model_) return;
    createSheet_ = SheetPresenter::openCreate(model_, window());
    if (createSheet_) connect(createSheet_, &QDialog::finished, this, [this] { createSheet_.clear(); });
}

void RootView::pickExisting() {
    const auto url = FilePanels::chooseExisting(window());
    if (url && model_) model_->addExisting(*url);
}

void RootView::refresh() {
    if (!model_) return;
    refreshSidebar();
    refreshDetail();
    refreshBusyAlert();
    refreshSheets();
    placeBanner();
}

void RootView::refreshSidebar() {
    updatingList_ = true;
    const auto& vaults = model_->vaults();
    bool same = list_->count() == static_cast<int>(vaults.size());
    for (int i = 0; same && i < list_->count(); ++i)
        same = list_->item(i)->data(idRole).toString() ==
               idText(vaults[static_cast<std::size_t>(i)]->config().id);
    if (!same) {
        list_->clear();
        for (const auto& vault : vaults) {
            auto* item = new QListWidgetItem(list_);
            item->setData(idRole, idText(vault->config().id));
        }
    }
    const QPalette& pal = palette();
    const std::optional<vaultkit::Uuid>& selection = model_->selection();
    for (int i = 0; i < list_->count(); ++i) {
        const auto& vault = vaults[static_cast<std::size_t>(i)];
        QListWidgetItem* item = list_->item(i);
        const QString name = QString::fromStdString(vault->config().name);
        if (item->text() != name) item->setText(name);
        const bool unlocked = model_->isUnlocked(vault);
        // on the selection's highlight the symbol takes the highlighted text colour
        const QString symbol = unlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill");
        QIcon icon = KXSymbol::tinted(symbol, unlocked ? KXStyle::green(pal) : KXStyle::secondary(pal));
        icon.addPixmap(
            KXSymbol::pixmap(symbol, 16, pal.color(QPalette::HighlightedText), devicePixelRatioF()),
            QIcon::Selected);
        item->setIcon(icon);
        item->setData(Qt::UserRole + 2, unlocked);
        // the state, said to a screen reader, where the eye sees the padlock
        const QString spoken = QStringLiteral("%1, %2").arg(
            name, unlocked ? kx("status.unlocked")
                  : model_->mountState(vault) == vaultkit::DiskImage::MountState::stale
                      ? kx("status.stale")
                      : kx("status.locked"));
        if (item->data(Qt::AccessibleTextRole).toString() != spoken)
            item->setData(Qt::AccessibleTextRole, spoken);
        item->setSizeHint(QSize(0, 28));
        if (selection && *selection == vault->config().id && list_->currentRow() != i)
            list_->setCurrentRow(i);
    }
    if (!model_->selected()) list_->setCurrentRow(-1);
    updatingList_ = false;
}

void RootView::refreshDetail() {
    auto* host = static_cast<QVBoxLayout*>(detailHost_->layout());
    const AppModel::VaultPtr selected = model_->selected();
    if (selected) {
        if (detail_ && detail_->vault()->config().id == selected->config().id) return;
        // a new vault: a new pane, so typed text and sheets never carry over
        if (detail_) {
            detail_->hide();
            detail_->deleteLater();
            detail_ = nullptr;
        }
        if (empty_) {
            empty_->hide();
            empty_->deleteLater();
            empty_ = nullptr;
        }
        detail_ = new VaultDetail(model_, selected, detailHost_);
        host->addWidget(detail_);
        if (isVisible()) detail_->show();
    } else {
        if (detail_) {
            detail_->hide();
            detail_->deleteLater();
            detail_ = nullptr;
        }
        if (!empty_) {
            empty_ = new EmptyState([this] { showCreate(); }, detailHost_);
            host->addWidget(empty_);
            if (isVisible()) empty_->show();
        }
    }
    banner_->raise();
}

void RootView::refreshBusyAlert() {
    const std::optional<BusyPrompt>& prompt = model_->busyPrompt();
    if (busyAlert_ && (!prompt || !busyAlertFor_ || *busyAlertFor_ != prompt->id)) {
        // the prompt was answered elsewhere or replaced by a newer one
        busyAlertFor_.reset();
        busyAlert_->close();
        busyAlert_.clear();
    }
    if (!prompt || busyAlert_) return;

    auto* alert = new QMessageBox(window());
    alert->setIcon(QMessageBox::Warning);
    alert->setText(kx("busy.title", QString::fromStdString(prompt->vault->config().name)));
    alert->setInformativeText(busyMessage(prompt->processes));
    QPushButton* force = alert->addButton(kx("busy.force"), QMessageBox::DestructiveRole);
    QPushButton* cancel = alert->addButton(QMessageBox::Cancel);
    alert->setDefaultButton(force);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    const vaultkit::Uuid promptId = prompt->id;
    const AppModel::VaultPtr vault = prompt->vault;
    QPointer<AppModel> model = model_;
    connect(alert, &QMessageBox::buttonClicked, this,
            [this, model, vault, promptId, force](QAbstractButton* b) {
                if (!model) return;
                // either button dismisses the prompt; a newer prompt stays
                if (busyAlertFor_ && *busyAlertFor_ == promptId) {
                    busyAlertFor_.reset();
                    busyAlert_.clear();
                }
                if (model->busyPrompt() && model->busyPrompt()->id == promptId)
                    model->setBusyPrompt(std::nullopt);
                if (b == force) model->lock(vault, true);
            });
    busyAlert_ = alert;
    busyAlertFor_ = promptId;
    alert->open();
}

void RootView::refreshSheets() {
    // the result of a check of encrypted data
    const auto& check = model_->dataCheck();
    if (check && (!dataCheckSheetFor_ || *dataCheckSheetFor_ != check->id) && !dataCheckSheet_) {
        const vaultkit::Uuid checkId = check->id;
        auto* sheet = new DataCheckSheet(*check, window());
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        dataCheckSheet_ = sheet;
        dataCheckSheetFor_ = checkId;
        connect(sheet, &QDialog::finished, this, [this, checkId] {
            dataCheckSheet_.clear();
            if (model_ && model_->dataCheck() && model_->dataCheck()->id == checkId)
                model_->setDataCheck(std::nullopt);
        });
        sheet->open();
    }
    // import results
    const auto& batch = model_->importResults();
    if (batch && (!importSheetFor_ || *importSheetFor_ != batch->id) && !importSheet_) {
        const vaultkit::Uuid batchId = batch->id;
        importSheet_ = SheetPresenter::openImportResults(model_, batch->results, window());
        if (importSheet_) {
            importSheetFor_ = batchId;
            connect(importSheet_, &QDialog::finished, this, [this, batchId] {
                importSheet_.clear();
                if (model_ && model_->importResults() && model_->importResults()->id == batchId)
                    model_->setImportResults(std::nullopt);
            });
        }
    }
    // a new recovery phrase
    const auto& shown = model_->shownMnemonic();
    if (shown && (!mnemonicSheetFor_ || *mnemonicSheetFor_ != shown->id) && !mnemonicSheet_) {
        const vaultkit::Uuid shownId = shown->id;
        QPointer<AppModel> model = model_;
        mnemonicSheet_ = SheetPresenter::openMnemonic(
            kx("mnemonic.newTitle", shown->vaultName), shown->vaultName, shown->mnemonic,
            [model, shownId] {
                if (model && model->shownMnemonic() && model->shownMnemonic()->id == shownId)
                    model->setShownMnemonic(std::nullopt);
            },
            window());
        if (mnemonicSheet_) {
            mnemonicSheetFor_ = shownId;
            connect(mnemonicSheet_, &QDialog::finished, this, [this] { mnemonicSheet_.clear(); });
        }
    }
}

void RootView::placeBanner() {
    if (!banner_->isVisibleTo(detailColumn_)) return;
    const int margin = 16;
    const int width = std::max(100, detailColumn_->width() - 2 * margin);
    int height = banner_->hasHeightForWidth() ? banner_->heightForWidth(width) : banner_->sizeHint().height();
    height = std::max(height, banner_->minimumSizeHint().height());
    banner_->setGeometry(margin, detailColumn_->height() - margin - height, width, height);
    banner_->raise();
}

void RootView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    placeBanner();
    if (shownOnce_) return;
    shownOnce_ = true;
    if (qEnvironmentVariable("HC_DEMO").startsWith(QLatin1String("create"))) showCreate();
    emit firstShown();
}

bool RootView::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == detailColumn_ && event->type() == QEvent::Resize) ||
        (watched == banner_ && (event->type() == QEvent::Show || event->type() == QEvent::LayoutRequest)))
        placeBanner();
    if (event->type() == QEvent::ApplicationPaletteChange && watched == detailColumn_) {
        KXSymbol::clearCache();
        paintSidebarIcons();
        if (model_) refreshSidebar();
    }
    return QWidget::eventFilter(watched, event);
}
