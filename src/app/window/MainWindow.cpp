#include "app/window/MainWindow.h"

#include "app/window/RootView.h"
#include "app/window/VaultDetail.h"
#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>

MainWindow::MainWindow(AppModel* model, const QString& title, Commands commands, QWidget* parent)
    : QMainWindow(parent)
    , model_(model)
    , root_(new RootView(model, this))
    , commands_(std::move(commands)) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(title);
    setCentralWidget(root_);
    setMinimumSize(minimumWindowSize);
    resize(defaultWindowSize);

    QMenu* file = menuBar()->addMenu(kx("app.menu.file"));
    addCommand(
        file, QStringLiteral("new"), kx("action.new"), [this] { root_->showCreate(); }, QKeySequence::New);
    addCommand(
        file, QStringLiteral("addExisting"), kx("action.addExisting"), [this] { root_->pickExisting(); },
        QKeySequence::Open);
    file->addSeparator();
    addCommand(
        file, QStringLiteral("lockSelected"), kx("app.lockSelected"), [this] { lockSelected(); },
        QKeySequence(Qt::CTRL | Qt::Key_L));
    QAction* closeWindow = addCommand(file, QStringLiteral("closeWindow"), kx("app.closeWindow"), [this] { close(); });
    // the desktop's own keys for closing, and Ctrl+W everywhere
    QList<QKeySequence> closeKeys = QKeySequence::keyBindings(QKeySequence::Close);
    if (!closeKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_W))) closeKeys.prepend(QKeySequence(Qt::CTRL | Qt::Key_W));
    closeWindow->setShortcuts(closeKeys);
    file->addSeparator();
    addCommand(file, QStringLiteral("quit"), kx("menu.quit"), commands_.quit, QKeySequence::Quit);

    if (commands_.settings) {
        QMenu* settings = menuBar()->addMenu(kx("app.menu.settings"));
        QAction* prefs = addCommand(settings, QStringLiteral("settings"), kx("app.settings"), commands_.settings);
        // the desktop's own shortcut (none on some desktops), and Ctrl+,
        // everywhere
        QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Preferences);
        const QKeySequence comma(Qt::CTRL | Qt::Key_Comma);
        if (!keys.contains(comma)) keys.append(comma);
        prefs->setShortcuts(keys);
    }

    QMenu* help = menuBar()->addMenu(kx("app.menu.help"));
    addCommand(help, QStringLiteral("feedback"), kx("app.feedback"), commands_.feedback);
    addCommand(help, QStringLiteral("checkUpdates"), kx("app.checkUpdates"), commands_.checkUpdates);
    help->addSeparator();
    addCommand(help, QStringLiteral("about"), kx("app.about", title), commands_.about);
    if (help->actions().size() == 1) help->menuAction()->setVisible(false); // only the separator
}

QAction* MainWindow::addCommand(QMenu* menu, const QString& name, const QString& text,
                                std::function<void()> run, const QKeySequence& shortcut) {
    if (!run) return nullptr;
    QAction* a = menu->addAction(text);
    a->setObjectName(name);
    if (!shortcut.isEmpty()) a->setShortcut(shortcut);
    connect(a, &QAction::triggered, this, [run = std::move(run)] { run(); });
    return a;
}

void MainWindow::lockSelected() {
    if (!model_) return;
    const auto& selected = model_->selection();
    if (!selected) return;
    for (const AppModel::VaultPtr& vault : model_->vaults())
        if (vault->config().id == *selected && model_->isUnlocked(vault)) model_->lock(vault, false);
}

QAction* MainWindow::action(const QString& name) const {
    return findChild<QAction*>(name);
}

void MainWindow::bringToFront() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    // opened to unlock (the tray's "Unlock …"): typing goes to the password
    if (VaultDetail* detail = root_->detail()) detail->focusPassword();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (commands_.closeQuits && commands_.closeQuits()) {
        // no tray: an invisible process would be unreachable, so closing
        // quits; the window stays until the quit handling lets it go
        event->ignore();
        if (commands_.quit) commands_.quit();
        return;
    }
    event->accept();
}
