#pragma once

#include <QWidget>

class KXContext;

namespace kxui {

class AboutView;

// The about window: one per application, made on first use and kept (closing
// only hides it); later calls bring it to the front. Titled "About
// <product>", closable, neither resizable nor minimisable, centred on the
// screen when first shown.
class AboutWindow : public QWidget {
    Q_OBJECT
public:
    // Opens the one about window, or brings it forward. Returns it.
    static AboutWindow* show(const KXContext& ctx);
    // The window, when it has been made.
    static AboutWindow* instance();

    AboutView* view() const { return view_; }

private:
    explicit AboutWindow(const KXContext& ctx);
    AboutView* view_;
};

} // namespace kxui
