#include "app/shell/MenuBarExtra.h"

#include "kxui/KXSymbol.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

MenuBarExtra::MenuBarExtra(AppModel* model, MenuBarContent::Actions actions, QObject* parent)
    : QObject(parent)
    , model_(model)
    , actions_(std::move(actions))
    , menu_(std::make_unique<QMenu>()) {
    tray_ = new QSystemTrayIcon(this);
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(QApplication::applicationDisplayName());
    connect(menu_.get(), &QMenu::aboutToShow, this, &MenuBarExtra::rebuild);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // a click opens the menu where the desktop does not do it itself
        if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible()) {
            rebuild();
            menu_->popup(QCursor::pos());
        }
    });
    if (model_) connect(model_, &AppModel::changed, this, &MenuBarExtra::refresh);
    refresh();
    if (available()) tray_->show();
}

MenuBarExtra::~MenuBarExtra() = default;

bool MenuBarExtra::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MenuBarExtra::refresh() {
    if (!model_) return;
    const QString symbol = MenuBarContent::symbol(model_);
    if (symbol != symbol_) {
        symbol_ = symbol;
        tray_->setIcon(KXSymbol::icon(symbol_));
    }
    if (!menu_->isVisible()) rebuild();
}

void MenuBarExtra::rebuild() {
    if (model_) MenuBarContent::populate(menu_.get(), model_, actions_);
}
