#pragma once

#include "kxcore/AppPaths.h"
#include "kxcore/ProductInfo.h"

#include <QWidget>

#include <functional>

class KXContext;
class QLabel;
class QPushButton;

namespace kxui {

// The content of the about window, top to bottom and centred: the product's
// icon (a button to the home page), the version and build, the tagline, the
// copyright with the current year, "ID: " and the first 8 characters of the
// anonymous installation id (for support requests), and the links Website,
// Privacy Policy, Terms of Use and Send Feedback….
class AboutView : public QWidget {
    Q_OBJECT
public:
    explicit AboutView(const KXContext& ctx, QWidget* parent = nullptr);

    // What "Send Feedback…" does; by default it opens the feedback window
    // with the scene "menu".
    using FeedbackOpener = std::function<void()>;
    void setFeedbackOpener(FeedbackOpener opener) { feedbackOpener_ = std::move(opener); }

private:
    const KXContext& ctx_;
    kxcore::ProductInfo product_;
    FeedbackOpener feedbackOpener_;
};

} // namespace kxui
