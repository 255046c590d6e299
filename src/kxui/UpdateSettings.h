#pragma once

#include "kxcore/ProductInfo.h"

#include <QWidget>

#include <functional>

class QCheckBox;

namespace kxui {

// The settings' Updates tab: the running version and build, automatic
// update checks, "Check for Updates…" (a check that always answers) and the
// product's web site.
class UpdateSettings : public QWidget {
    Q_OBJECT
public:
    explicit UpdateSettings(kxcore::ProductInfo product, QWidget* parent = nullptr);

    // What "Check for Updates…" runs; by default checkForUpdates(product,
    // silent: false) with message boxes.
    void setCheckHandler(std::function<void()> handler) { check_ = std::move(handler); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    kxcore::ProductInfo product_;
    QCheckBox* autoUpdate_;
    std::function<void()> check_;
    bool loading_ = false;
};

} // namespace kxui
