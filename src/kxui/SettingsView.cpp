#include "kxui/SettingsView.h"

#include "kxcore/FeedbackRequest.h"
#include "kxcore/Settings.h"
#include "kxui/FeedbackView.h"
#include "kxui/GeneralSettings.h"
#include "kxui/KXSymbol.h"
#include "kxui/KXContext.h"
#include "kxui/PrivacySettings.h"
#include "kxui/UpdateSettings.h"
#include "kxui/kx.h"

#include <QIcon>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace kxui {

namespace {

int indexOf(int tag) {
    auto it = std::find(SettingsView::tags.begin(), SettingsView::tags.end(), tag);
    return it == SettingsView::tags.end() ? -1 : int(it - SettingsView::tags.begin());
}

// A tab's symbol in the colour of the tab texts (the theme's icon where it
// has one, else the bundled drawing).
QIcon tabIcon(const char* symbol, const QWidget* tabs) {
    return KXSymbol::tinted(QLatin1String(symbol), tabs->palette().color(QPalette::WindowText));
}

// The feedback page with some room around it, like the other tabs.
QWidget* padded(QWidget* content, QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->addWidget(content);
    return page;
}

} // namespace

SettingsView::SettingsView(const KXContext& ctx, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(kx("settings.title"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(false);
    layout->addWidget(tabs_);

    general_ = new GeneralSettings(ctx.paths(), tabs_);
    updates_ = new UpdateSettings(ctx.product(), tabs_);
    feedback_ = new FeedbackView(ctx, kxcore::FeedbackRequest(QStringLiteral("settings")), true, tabs_);
    privacy_ = new PrivacySettings(ctx.product(), tabs_);

    tabs_->addTab(general_, tabIcon("gearshape", tabs_),
                  kx("settings.tab.general"));
    tabs_->addTab(updates_, tabIcon("arrow.down.circle", tabs_),
                  kx("settings.tab.updates"));
    tabs_->addTab(padded(feedback_, tabs_), tabIcon("envelope", tabs_),
                  kx("settings.tab.feedback"));
    tabs_->addTab(privacy_, tabIcon("hand.raised", tabs_),
                  kx("settings.tab.privacy"));

    const int stored = indexOf(kxcore::Settings().settingsTab());
    tabs_->setCurrentIndex(stored < 0 ? 0 : stored);
    connect(tabs_, &QTabWidget::currentChanged, this, [](int index) {
        if (index >= 0 && index < int(tags.size())) kxcore::Settings().setSettingsTab(tags[size_t(index)]);
    });

    setMinimumWidth(windowWidth);
    resize(windowWidth, sizeHint().height());
}

void SettingsView::selectTab(int tag) {
    const int index = indexOf(tag);
    if (index < 0) return;
    if (tabs_->currentIndex() == index)
        kxcore::Settings().setSettingsTab(tag);
    else
        tabs_->setCurrentIndex(index);
}

int SettingsView::currentTag() const {
    const int index = tabs_->currentIndex();
    return index >= 0 && index < int(tags.size()) ? tags[size_t(index)] : general;
}

} // namespace kxui
