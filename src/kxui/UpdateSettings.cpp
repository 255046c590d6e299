#include "kxui/UpdateSettings.h"

#include "kxcore/KXLinks.h"
#include "kxcore/Settings.h"
#include "kxui/Card.h"
#include "kxui/CheckForUpdates.h"
#include "kxui/KXOpen.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kxui {

UpdateSettings::UpdateSettings(kxcore::ProductInfo product, QWidget* parent)
    : QWidget(parent)
    , product_(std::move(product)) {
    setObjectName(QStringLiteral("updates"));
    auto* form = Card::formPage(this, QFormLayout::FieldsStayAtSizeHint);

    auto* version =
        new QLabel(product_.version + QStringLiteral(" (") + product_.build + QLatin1Char(')'), this);
    version->setObjectName(QStringLiteral("version"));
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(kx("settings.version"), version);

    autoUpdate_ = new QCheckBox(kx("settings.autoUpdate"), this);
    autoUpdate_->setObjectName(QStringLiteral("autoUpdate"));
    form->addRow(QString(), autoUpdate_);

    auto* check = new QPushButton(kx("app.checkUpdates"), this);
    check->setObjectName(QStringLiteral("checkUpdates"));
    check->setAutoDefault(false);
    form->addRow(QString(), check);

    auto* website = new QPushButton(kx("about.website"), this);
    website->setObjectName(QStringLiteral("website"));
    website->setAutoDefault(false);
    form->addRow(QString(), website);

    connect(autoUpdate_, &QCheckBox::toggled, this, [this](bool on) {
        if (!loading_) kxcore::Settings().setAutoUpdate(on);
    });
    connect(check, &QPushButton::clicked, this, [this] {
        if (check_)
            check_();
        else
            checkForUpdates(product_, false, std::make_shared<MessageBoxUpdateAlerts>(window()));
    });
    connect(website, &QPushButton::clicked, this,
            [this] { KXOpen::url(kxcore::KXLinks::homepage(product_, QStringLiteral("settings_updates"))); });
    loading_ = true;
    autoUpdate_->setChecked(kxcore::Settings().autoUpdate());
    loading_ = false;
}

void UpdateSettings::showEvent(QShowEvent* event) {
    loading_ = true;
    autoUpdate_->setChecked(kxcore::Settings().autoUpdate());
    loading_ = false;
    QWidget::showEvent(event);
}

} // namespace kxui
