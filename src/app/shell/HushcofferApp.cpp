#include "app/shell/HushcofferApp.h"

#include "app/desktop/DesktopNotifier.h"
#include "app/desktop/EventSources.h"
#include "app/desktop/FolderLook.h"
#include "app/model/LoginUnlockController.h"
#include "app/model/Notices.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/SheetSnapshots.h"
#include "app/shell/TrayMenuContent.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/QuitBusyAlert.h"
#include "app/shell/SelfTest.h"
#include "app/window/MainWindow.h"
#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxcore/FeedbackRequest.h"
#include "kxcore/Log.h"
#include "kxui/AboutWindow.h"
#include "kxui/CheckForUpdates.h"
#include "kxui/FeedbackView.h"
#include "kxui/KXContext.h"
#include "kxui/KXScrollAreaAccessible.h"
#include "kxui/KXSnapshot.h"
#include "kxui/KXSymbol.h"
#include "kxui/Relaunch.h"
#include "kxui/SettingsView.h"
#include "vaultkit/record/SupportFolder.h"

#include <QApplication>
#include <QDialog>
#include <QDir>

HushcofferApp::HushcofferApp(KXContext* context, Options options, QObject* parent)
    : QObject(parent)
    , context_(context)
    , options_(std::move(options)) {
    // before any window: every scroll area gets the bounds-checked interface
    KXScrollAreaAccessible::install();
    supportDir_ = supportDirectory(context_->paths().supportDir());
    FolderLook::setSupportDirectory(supportDir_);
    model_ = new AppModel(supportDir_,
                          options_.desktopSources ? EventSources::desktop() : EventSources{}, this);
    AppDelegate::model = model_;
    if (options_.desktopSources)
        model_->notices().setNotifier(std::unique_ptr<Notifier>(DesktopNotifier::forSession()));
    connect(&model_->notices(), &Notices::noticeActivated, this, [this] { openMainWindow(); });
    delegate_ = new AppDelegate(this);
    delegate_->installTerminationHandling();

    MainWindow::Commands commands;
    commands.quit = [this] { requestQuit(); };
    commands.closeQuits = [this] { return !tray_ || !tray_->shown(); };
    commands.settings = [this] { openSettings(); };
    commands.about = [this] { kxui::AboutWindow::show(*context_); };
    commands.checkUpdates = [this] { kxui::checkForUpdates(context_->product(), false); };
    commands.feedback = [this] { openFeedback(); };
    window_ = new MainWindow(model_, context_->product().displayName, commands);
    window_->setWindowIcon(KXSymbol::tinted(context_->product().iconSymbol.isEmpty()
                                                ? QStringLiteral("lock.fill")
                                                : context_->product().iconSymbol,
                                            context_->accentColor()));
    quitAlert_ = std::make_unique<QuitBusyAlert>(window_);
    delegate_->setBusyAlert(quitAlert_.get());

    tray_ = new TrayIcon(model_, {[this] { openMainWindow(); }, [this] { requestQuit(); }}, this);
    // "Restart Now" quits the way the application quits: vaults locked first,
    // and nothing restarts when the user keeps a vault in use open.
    Relaunch::setQuitHandler([this] {
        requestQuit();
        return true;
    });
    Relaunch::setArgumentFilter(&HushcofferApp::relaunchArguments);

    connect(window_->rootView(), &RootView::firstShown, this, [this] { SelfTest::startIfRequested(model_); });

    if (options_.singleInstance) {
        instance_ = new SingleInstance(supportDir_, this);
        connect(instance_, &SingleInstance::requested, this, &HushcofferApp::handle);
        instance_->listen();
    }
    // Off the GUI thread: the window does not wait for the keyring.
    if (options_.unlockAtLogin) model_->loginUnlock().unlockAtStart();
}

HushcofferApp::~HushcofferApp() {
    AppDelegate::model = nullptr;
    delete settings_;
    delete window_;
}

QWidget* HushcofferApp::openSettings() {
    if (!settings_) {
        settings_ = new kxui::SettingsView(*context_);
        settings_->setAttribute(Qt::WA_DeleteOnClose);
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
    return settings_;
}

QWidget* HushcofferApp::openFeedback() {
    return kxui::FeedbackView::openDialog(*context_, kxcore::FeedbackRequest(QStringLiteral("menu")),
                                          window_);
}

QStringList HushcofferApp::relaunchArguments(const QStringList& arguments) {
    QStringList kept = arguments;
    kept.removeAll(QStringLiteral("--tray"));
    return kept;
}

QString HushcofferApp::supportDirectory(const QString& contextSupportDir) {
    if (const auto dir = vaultkit::SupportFolder::fromEnvironment())
        return QString::fromStdString(dir->string());
    return contextSupportDir;
}

void HushcofferApp::show() {
    registerSnapshots();
    window_->show();
}

void HushcofferApp::openMainWindow() {
    window_->bringToFront();
}

void HushcofferApp::requestQuit() {
    if (quitting_ || delegate_->isQuitPending()) return;
    const auto reply = delegate_->applicationShouldTerminate([this](bool quit) {
        if (quit) {
            quitting_ = true;
            QApplication::exit(0);
        } else {
            Relaunch::cancel();
        }
    });
    if (reply == AppDelegate::TerminateReply::now) {
        quitting_ = true;
        QApplication::exit(0);
    }
}

void HushcofferApp::handle(SingleInstance::Request request) {
    switch (request) {
    case SingleInstance::Request::raise:
        openMainWindow();
        break;
    case SingleInstance::Request::lockAll:
        kxcore::Log::shared().info("lock-all requested by a later start");
        TrayMenuContent::lockAll(model_);
        break;
    }
}

void HushcofferApp::registerSnapshots() {
    KXSnapshot::registerWindow(QStringLiteral("settings"), [this] { return openSettings(); });
    KXSnapshot::registerWindow(QStringLiteral("about"),
                               [this]() -> QWidget* { return kxui::AboutWindow::show(*context_); });
    KXSnapshot::registerWindow(QStringLiteral("feedback"), [this] { return openFeedback(); });
    KXSnapshot::registerWindow(QStringLiteral("main"), [this]() -> QWidget* {
        window_->show();
        return window_;
    });
    KXSnapshot::registerWindow(QStringLiteral("create"), [this]() -> QWidget* {
        window_->show();
        window_->rootView()->showCreate();
        return window_->rootView()->createSheet();
    });
    auto credential = [this](VaultDetail::Sheet sheet) {
        return [this, sheet]() -> QWidget* {
            window_->show();
            VaultDetail* detail = window_->rootView()->detail();
            if (!detail) {
                std::fprintf(stderr, "snapshot: this sheet needs a vault in the list\n");
                return nullptr;
            }
            if (detail->sheet()) return nullptr;
            return detail->openSheet(sheet);
        };
    };
    KXSnapshot::registerWindow(QStringLiteral("recover"), credential(VaultDetail::Sheet::recover));
    KXSnapshot::registerWindow(QStringLiteral("changePassword"),
                               credential(VaultDetail::Sheet::changePassword));
    KXSnapshot::registerWindow(QStringLiteral("touchID"), credential(VaultDetail::Sheet::touchID));
    KXSnapshot::registerWindow(QStringLiteral("regenerate"), credential(VaultDetail::Sheet::regenerate));
    SheetSnapshots::registerAll(model_, [this]() -> RootView* {
        window_->show();
        return window_->rootView();
    });
}
