#pragma once

#include "app/desktop/SingleInstance.h"
#include "app/model/AppModel.h"
#include "app/shell/AppDelegate.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class KXContext;
class MainWindow;
class TrayIcon;
class QuitBusyAlert;
class QWidget;

// The application: the framework context, the one model, the main window,
// the tray menu, the quit handling and the other ways in (a second start, the
// self-test, the screenshot mode).
//
// Start, in order: the context (language, texts, folders, log, telemetry,
// the start line); the support folder (HC_SUPPORT_DIR when set, else the
// context's); the model; AppDelegate::model; the quit handling and the
// termination signals; the main window and the tray. The self-test and the
// demonstration sheets start when the window is first shown.
class HushcofferApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Where the framework keeps its folders (tests); none: the user's.
        std::optional<QString> pathsBase;
        // The model's event sources (tests pass none).
        bool desktopSources = true;
        // Listen for later starts (off for the screenshot mode, the
        // self-test and tests).
        bool singleInstance = true;
        // Unlock the vaults set to unlock at login with their stored
        // passwords (off for the screenshot mode and the self-test).
        bool unlockAtLogin = true;
    };

    HushcofferApp(KXContext* context, Options options, QObject* parent = nullptr);
    ~HushcofferApp() override;

    // The support folder: HC_SUPPORT_DIR when set, else `contextSupportDir`.
    static QString supportDirectory(const QString& contextSupportDir);
    // The arguments a restart ("Restart Now" after a language change) starts
    // the new instance with: the running one's without "--tray", so that the
    // restart the user asked for in the window opens the window (a login
    // start in the tray has "--tray").
    static QStringList relaunchArguments(const QStringList& arguments);

    AppModel* model() const { return model_; }
    MainWindow* mainWindow() const { return window_; }
    TrayIcon* trayIcon() const { return tray_; }
    AppDelegate* delegate() const { return delegate_; }
    QuitBusyAlert* quitAlert() const { return quitAlert_.get(); }

    // Shows the main window and registers the screenshot windows.
    void show();
    // Brings the main window to the front (opening it again when closed).
    void openMainWindow();
    // The quit handling: locks what must be locked, asking about a volume in
    // use, then ends the event loop; cancelled from the alert, it keeps
    // running.
    void requestQuit();
    // The framework's windows: settings (one, brought forward) and the
    // feedback form for the menu.
    QWidget* openSettings();
    QWidget* openFeedback();
    // A request from a later start.
    void handle(SingleInstance::Request request);

private:
    void registerSnapshots();

    KXContext* context_;
    Options options_;
    QString supportDir_;
    AppModel* model_ = nullptr;
    AppDelegate* delegate_ = nullptr;
    std::unique_ptr<QuitBusyAlert> quitAlert_;
    MainWindow* window_ = nullptr;
    TrayIcon* tray_ = nullptr;
    QPointer<QWidget> settings_;
    SingleInstance* instance_ = nullptr;
    bool quitting_ = false;
};
