#include "app/window/detail/DataCard.h"

#include "app/desktop/FileBrowser.h"
#include "app/model/MountModes.h"
#include "app/widgets/PathLabel.h"
#include "app/widgets/WrappingRow.h"
#include "app/window/detail/CardParts.h"
#include "kxui/InfoRow.h"
#include "kxui/KXAccess.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <span>
#include <vector>

namespace {

QString pathText(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

} // namespace

DataCard::DataCard(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : kxui::Card(parent)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("dataCard"));
    add(cardparts::title(kx("data.title"), this));
    location_ =
        new kxui::InfoRow(kx("data.location"), PathLabel::abbreviate(pathText(vault_->image())), this);
    location_->setObjectName(QStringLiteral("location"));
    content()->addWidget(location_);
    content()->addWidget(cardparts::note(kx("data.noapp"), this));

    // How the vault is mounted, why, and the user's choice.
    auto* modeRow = new WrappingRow(this, 10);
    auto* label = new QLabel(kx("mountMode.title"), this);
    modeRow->addWidget(label);
    mountModePicker_ = new QComboBox(this);
    mountModePicker_->setObjectName(QStringLiteral("mountMode"));
    KXAccess::nameComboBox(mountModePicker_, label->text());
    using Choice = vaultkit::MountModePolicy::Choice;
    mountModePicker_->addItem(kx("mountMode.automatic"), static_cast<int>(Choice::automatic));
    mountModePicker_->addItem(kx("mountMode.local"), static_cast<int>(Choice::local));
    mountModePicker_->addItem(kx("mountMode.shared"), static_cast<int>(Choice::shared));
    label->setBuddy(mountModePicker_);
    connect(mountModePicker_, &QComboBox::activated, this, [this](int index) {
        if (refreshing_ || !model_ || index < 0) return;
        model_->mountModes().setMountModeChoice(
            vault_, static_cast<Choice>(mountModePicker_->itemData(index).toInt()));
    });
    modeRow->addWidget(mountModePicker_);
    content()->addWidget(modeRow);
    mountModeWhy_ = cardparts::note(QString(), this);
    mountModeWhy_->setObjectName(QStringLiteral("mountModeWhy"));
    content()->addWidget(mountModeWhy_);

    auto* row = new WrappingRow(this, 8);
    reveal_ = new QPushButton(kx("data.reveal"), this);
    reveal_->setObjectName(QStringLiteral("revealImage"));
    connect(reveal_, &QPushButton::clicked, this, &DataCard::reveal);
    row->addWidget(reveal_);
    checkData_ = new QPushButton(kx("data.check"), this);
    checkData_->setObjectName(QStringLiteral("checkData"));
    connect(checkData_, &QPushButton::clicked, this, [this] { emit sheetRequested(PaneSheet::checkData); });
    row->addWidget(checkData_);
    forget_ = new QPushButton(kx("data.forget"), this);
    forget_->setObjectName(QStringLiteral("forget"));
    KXStyle::makeDestructive(forget_);
    connect(forget_, &QPushButton::clicked, this, &DataCard::forgetRequested);
    row->addWidget(forget_);
    content()->addWidget(row);
}

void DataCard::reveal() {
    FileBrowser::reveal(pathText(vault_->image()));
}

void DataCard::showVault(bool unlocked) {
    if (!model_) return;
    refreshing_ = true;
    checkData_->setVisible(!unlocked);
    location_->setValue(PathLabel::abbreviate(pathText(vault_->image())));
    const auto mode = model_->mountModes().mountMode(vault_);
    mountModePicker_->setCurrentIndex(mountModePicker_->findData(static_cast<int>(mode.choice)));
    const auto why = vaultkit::MountModePolicy::explain(mode);
    std::vector<KXFormat::Arg> whyArgs(why.args.begin(), why.args.end());
    const QString whyText = QString::fromStdString(
        KXStrings::text(why.key, std::span<const KXFormat::Arg>(whyArgs.data(), whyArgs.size())));
    // Below it, which sync clients carry the vault and whether each leaves
    // the visible folder out.
    const QStringList synced = model_->mountModes().syncCoverage(vault_);
    const QString modeText = unlocked ? whyText + QLatin1Char(' ') + kx("mountMode.nextUnlock") : whyText;
    mountModeWhy_->setText(synced.isEmpty() ? modeText
                                            : modeText + QLatin1Char('\n') + synced.join(QLatin1Char('\n')));
    refreshing_ = false;
}
