#pragma once

#include "app/shell/MenuBarContent.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QMenu;
class QSystemTrayIcon;

// The tray icon with the application's menu (MenuBarContent). The menu is
// rebuilt on every change announcement of the model (at least every 2
// seconds), except while it is open, and again just before it opens; the
// icon shows an open lock while any vault is unlocked, else a closed one.
//
// Where the desktop offers no tray, nothing is shown (available() is false)
// and the application quits when its last window closes.
class MenuBarExtra : public QObject {
    Q_OBJECT
public:
    MenuBarExtra(AppModel* model, MenuBarContent::Actions actions, QObject* parent = nullptr);
    ~MenuBarExtra() override;

    static bool available();

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // The symbol the icon shows now.
    const QString& symbol() const { return symbol_; }

    void refresh();

private:
    void rebuild();

    QPointer<AppModel> model_;
    MenuBarContent::Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
    QString symbol_;
};
