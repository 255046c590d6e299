#include "kxui/PrivacySettings.h"

#include "kxcore/KXLinks.h"
#include "kxcore/Settings.h"
#include "kxcore/Telemetry.h"
#include "kxui/Card.h"
#include "kxui/KXOpen.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kxui {

PrivacySettings::PrivacySettings(kxcore::ProductInfo product, QWidget* parent)
    : QWidget(parent)
    , product_(std::move(product)) {
    setObjectName(QStringLiteral("privacy"));
    setMinimumHeight(minimumPaneHeight);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(20, 18, 20, 18);
    v->setSpacing(6);

    auto* card = new Card(this);
    card->content()->setAlignment(Qt::AlignTop); // full width: texts wrap at the card's edge
    card->content()->setSpacing(4);
    v->addWidget(card);
    telemetry_ = new QCheckBox(kx("settings.telemetry"), card);
    telemetry_->setObjectName(QStringLiteral("telemetry"));
    card->content()->addWidget(telemetry_);
    auto* help = new QLabel(kx("settings.telemetry.help"), card);
    help->setObjectName(QStringLiteral("telemetryHelp"));
    help->setWordWrap(true);
    help->setContentsMargins(24, 0, 0, 0);
    KXStyle::setFont(help, KXStyle::Text::caption);
    KXStyle::setTone(help, KXStyle::Tone::secondary);
    card->content()->addWidget(help);

    v->addSpacing(12);
    auto* summary = new QLabel(kx("privacy.summary"), this);
    summary->setObjectName(QStringLiteral("summary"));
    summary->setWordWrap(true);
    v->addWidget(summary);

    v->addSpacing(8);
    auto* links = new QHBoxLayout;
    auto link = [this, links](const char* key, const char* name, const char* page) {
        auto* b = new QPushButton(kx(key), this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        KXStyle::makeLink(b);
        connect(b, &QPushButton::clicked, this, [this, page] {
            KXOpen::url(
                kxcore::KXLinks::page(product_, QLatin1String(page), QStringLiteral("settings_privacy")));
        });
        links->addWidget(b);
    };
    link("about.privacy", "privacyPolicy", kxcore::KXLinks::privacyPage);
    link("about.terms", "terms", kxcore::KXLinks::termsPage);
    links->addStretch(1);
    v->addLayout(links);
    v->addStretch(1);

    connect(telemetry_, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        kxcore::Settings().setTelemetry(on);
        kxcore::Telemetry::shared().setEnabled(on);
    });
    loading_ = true;
    telemetry_->setChecked(kxcore::Telemetry::shared().isEnabled());
    loading_ = false;
}

void PrivacySettings::showEvent(QShowEvent* event) {
    loading_ = true;
    telemetry_->setChecked(kxcore::Telemetry::shared().isEnabled());
    loading_ = false;
    QWidget::showEvent(event);
}

} // namespace kxui
