#pragma once

#include "app/model/AppModelTypes.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <optional>

class AppModel;
class QLabel;
class QToolButton;

// The model's banner (`AppModel::message`) as a row over the bottom of the
// detail pane: a warning symbol in orange for an error, else a check in
// green; the text, selectable and wrapping; and a close button. Hidden while
// there is no banner.
//
// Each banner shown starts its own timer: 15 s for an error, 5 s otherwise.
// When it runs out, the banner is cleared only if the model still holds that
// very banner (same id, text and kind), so an older timer never clears a
// newer banner. A newer banner cancels the older timer.
class BannerView : public QWidget {
    Q_OBJECT
public:
    static constexpr int infoMs = 5'000;
    static constexpr int errorMs = 15'000;

    explicit BannerView(AppModel* model, QWidget* parent = nullptr);

    // How long a banner of this kind stays.
    int durationMs(bool isError) const { return isError ? errorMs_ : infoMs_; }
    // Tests shorten the waits.
    void setDurations(int infoMs, int errorMs);

    QLabel* textLabel() const { return text_; }
    QLabel* symbolLabel() const { return symbol_; }
    QToolButton* closeButton() const { return close_; }
    // The banner this view shows (and whose timer runs), if any.
    const std::optional<Banner>& shown() const { return shown_; }
    bool timerActive() const { return timer_.isActive(); }

    // Reads the model again (called on every change announcement).
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void expire();
    void paintSymbol();

    QPointer<AppModel> model_;
    std::optional<Banner> shown_;
    QTimer timer_;
    int infoMs_ = infoMs;
    int errorMs_ = errorMs;
    QLabel* symbol_;
    QLabel* text_;
    QToolButton* close_;
};
