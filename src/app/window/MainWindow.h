#pragma once

#include "app/model/AppModel.h"

#include <QMainWindow>

#include <functional>

class QAction;
class RootView;

// The main window ("main"): the root view, titled with the product's name,
// at least 780 x 540 and 920 x 660 at first, with the menu bar of the
// application's commands:
//   File:     New Vault, Add Existing Vault…, Lock Vault (the selected one,
//             when unlocked; Ctrl+L), Close Window (Ctrl+W), Quit
//   Settings: Settings… (Ctrl+, besides the desktop's own shortcut)
//   Help:     Send Feedback…, Check for Updates…, About
// A command whose window is not part of this build is left out.
//
// Closing the window hides it when the tray keeps the application reachable;
// without a tray it asks the application to quit (the quit handling), and the
// window stays when that is cancelled.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    struct Commands {
        std::function<void()> quit;
        std::function<void()> settings;
        std::function<void()> about;
        std::function<void()> checkUpdates;
        std::function<void()> feedback;
        // Whether closing the window should quit (no tray).
        std::function<bool()> closeQuits;
    };

    static constexpr QSize minimumWindowSize{780, 540};
    static constexpr QSize defaultWindowSize{920, 660};

    MainWindow(AppModel* model, const QString& title, Commands commands, QWidget* parent = nullptr);

    RootView* rootView() const { return root_; }
    QAction* action(const QString& name) const;
    // "Lock Vault": locks the selected vault when it is unlocked (never
    // forced; a volume in use ends in the usual alert).
    void lockSelected();

    // Shows the window, un-minimised, in front, with the keyboard focus (in
    // the password field when the selected vault is locked).
    void bringToFront();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QAction* addCommand(QMenu* menu, const QString& name, const QString& text, std::function<void()> run,
                        const QKeySequence& shortcut = {});

    AppModel* model_;
    RootView* root_;
    Commands commands_;
};
