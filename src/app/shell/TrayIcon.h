#pragma once

#include "app/shell/TrayMenuContent.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QMenu;
class QDBusServiceWatcher;
class QSystemTrayIcon;

// The tray icon with the application's menu (TrayMenuContent). The menu is
// rebuilt on every change announcement of the model (at least every 2
// seconds), except while it is open, and again just before it opens; the
// icon shows an open lock while any vault is unlocked, else a closed one.
//
// A click on the icon opens the main window; the tray shows the menu.
//
// Where the desktop offers no tray, nothing is shown (shown() is false) and
// the application quits when its last window closes. On Wayland the icon is
// made once a StatusNotifierItem host (a panel's tray) registers, also when
// that is after the start; trayIcon() is null until then.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(AppModel* model, TrayMenuContent::Actions actions, QObject* parent = nullptr);
    ~TrayIcon() override;

    static bool available();
    // Whether the icon is made and a tray shows it now.
    bool shown() const;

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // The symbol the icon shows now.
    const QString& symbol() const { return symbol_; }

    void refresh();

signals:
    // The icon was made (at once, or when a tray host appeared).
    void iconMade();

private slots:
    void notifierHostAppeared();

private:
    void rebuild();
    void makeIcon();
    void waitForNotifierHost();
    // Asks the watcher whether a host is registered and makes the icon when
    // the answer says so; returns at once.
    void askNotifierHost();

    QPointer<AppModel> model_;
    TrayMenuContent::Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
    QDBusServiceWatcher* hostWatcher_ = nullptr;
    QString symbol_;
};
