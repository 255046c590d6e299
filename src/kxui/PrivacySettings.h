#pragma once

#include "kxcore/ProductInfo.h"

#include <QWidget>

class QCheckBox;

namespace kxui {

// The settings' Privacy tab: the usage-statistics switch (stored as
// "kx.telemetry" and applied to telemetry at once), what is and is not sent,
// and the privacy policy and terms.
class PrivacySettings : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumPaneHeight = 300;

    explicit PrivacySettings(kxcore::ProductInfo product, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    kxcore::ProductInfo product_;
    QCheckBox* telemetry_;
    bool loading_ = false;
};

} // namespace kxui
