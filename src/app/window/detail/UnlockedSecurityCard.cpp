#include "app/window/detail/UnlockedSecurityCard.h"

#include "app/model/QuickUnlockAvailability.h"
#include "app/widgets/WrappingRow.h"
#include "app/window/detail/CardParts.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

UnlockedSecurityCard::QuickUnlockRow UnlockedSecurityCard::quickUnlockRow(bool hasRecord, bool available) {
    if (hasRecord) return QuickUnlockRow::on;
    if (!available) return QuickUnlockRow::unavailable;
    return QuickUnlockRow::enable;
}

UnlockedSecurityCard::UnlockedSecurityCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : kxui::Card(parent)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("unlockedSecurityCard"));
    add(cardparts::title(kx("security.title"), this));
    {
        auto* row = cardparts::row(8);
        touchIDOn_ = cardparts::rowWidget(this, row);
        touchIDOn_->setObjectName(QStringLiteral("quickUnlockOn"));
        touchIDOnIcon_ = new QLabel(touchIDOn_);
        row->addWidget(touchIDOnIcon_);
        row->addWidget(new QLabel(kx("touchid.on"), touchIDOn_));
        row->addSpacing(6);
        touchIDDisable_ = new QPushButton(kx("touchid.disable"), touchIDOn_);
        touchIDDisable_->setObjectName(QStringLiteral("quickUnlockOff"));
        connect(touchIDDisable_, &QPushButton::clicked, this, [this] {
            if (model_) model_->disableTouchID(vault_);
        });
        row->addWidget(touchIDDisable_);
        row->addStretch(1);
        add(touchIDOn_);
        // Under the switch: whether the key also needs the boot state it was
        // made in (the difference for a stolen computer).
        touchIDBoot_ = cardparts::note(QString(), this);
        touchIDBoot_->setObjectName(QStringLiteral("touchIDBootState"));
        add(touchIDBoot_);
    }
    {
        auto* row = cardparts::row(8);
        touchIDUnavailable_ = cardparts::rowWidget(this, row);
        touchIDUnavailable_->setObjectName(QStringLiteral("quickUnlockUnavailable"));
        touchIDUnavailableIcon_ = new QLabel(touchIDUnavailable_);
        row->addWidget(touchIDUnavailableIcon_);
        auto* text = new QLabel(kx("touchid.unavailable"), touchIDUnavailable_);
        KXStyle::setTone(text, KXStyle::Tone::secondary);
        row->addWidget(text);
        row->addStretch(1);
        add(touchIDUnavailable_);
    }
    touchIDEnable_ = new QPushButton(kx("touchid.enable"), this);
    touchIDEnable_->setObjectName(QStringLiteral("quickUnlockEnable"));
    connect(touchIDEnable_, &QPushButton::clicked, this, [this] { emit sheetRequested(PaneSheet::touchID); });
    add(touchIDEnable_);

    auto* row = new WrappingRow(this, 8);
    change_ = new QPushButton(kx("action.changePassword"), this);
    change_->setObjectName(QStringLiteral("unlockedChangePassword"));
    connect(change_, &QPushButton::clicked, this, [this] { emit sheetRequested(PaneSheet::changePassword); });
    row->addWidget(change_);
    regenerate_ = new QPushButton(kx("mnemonic.regenerate"), this);
    regenerate_->setObjectName(QStringLiteral("regeneratePhrase"));
    connect(regenerate_, &QPushButton::clicked, this, [this] { emit sheetRequested(PaneSheet::regenerate); });
    row->addWidget(regenerate_);
    content()->addWidget(row);
    paintSymbols();
}

void UnlockedSecurityCard::showVault(const vaultkit::VaultConfig& config) {
    if (!model_) return;
    const QuickUnlockRow row =
        quickUnlockRow(config.touchID.has_value(), model_->quickUnlock().touchIDAvailable());
    touchIDOn_->setVisible(row == QuickUnlockRow::on);
    touchIDUnavailable_->setVisible(row == QuickUnlockRow::unavailable);
    touchIDEnable_->setVisible(row == QuickUnlockRow::enable);
    const std::optional<bool> bootBound = row == QuickUnlockRow::on
                                              ? QuickUnlockAvailability::touchIDBootBinding(vault_)
                                              : std::optional<bool>();
    touchIDBoot_->setVisible(bootBound.has_value());
    if (bootBound) touchIDBoot_->setText(kx(*bootBound ? "touchid.bootBound" : "touchid.bootUnbound"));
}

void UnlockedSecurityCard::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        paintSymbols();
    kxui::Card::changeEvent(event);
}

void UnlockedSecurityCard::paintSymbols() {
    const QPalette& pal = palette();
    const qreal dpr = devicePixelRatioF();
    touchIDOnIcon_->setPixmap(KXSymbol::pixmap(QStringLiteral("touchid"), 16, KXStyle::green(pal), dpr));
    touchIDUnavailableIcon_->setPixmap(
        KXSymbol::pixmap(QStringLiteral("touchid"), 16, KXStyle::secondary(pal), dpr));
    touchIDEnable_->setIcon(KXSymbol::tinted(QStringLiteral("touchid"), pal.color(QPalette::ButtonText)));
}
