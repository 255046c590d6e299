#include "app/shell/TrayMenuContent.h"

#include "kxui/kx.h"
#include "vaultkit/vault/Vault.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QMenu>
#include <QPointer>

#include <memory>

namespace {

void lockFrom(QPointer<AppModel> model, std::shared_ptr<std::vector<AppModel::VaultPtr>> vaults,
              std::size_t index, std::function<void()> done) {
    while (model && index < vaults->size() && !model->isUnlocked((*vaults)[index]))
        ++index;
    if (!model || index >= vaults->size()) {
        if (done) done();
        return;
    }
    model->lock((*vaults)[index], false,
                [model, vaults, index, done](bool) { lockFrom(model, vaults, index + 1, done); });
}

// A menu title shows "&" before its access letter; a vault name is shown as
// it is.
QString escaped(QString name) {
    return name.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace

std::vector<TrayMenuContent::Item> TrayMenuContent::items(AppModel* model, const Actions& actions) {
    std::vector<Item> out;
    QPointer<AppModel> m = model;
    bool anyUnlocked = false;
    for (const AppModel::VaultPtr& vault : model->vaults()) {
        const vaultkit::VaultConfig config = vault->config();
        const QString name = shownName(config.name);
        const QString fullName = QString::fromStdString(config.name);
        if (model->isUnlocked(vault)) {
            anyUnlocked = true;
            out.push_back({Kind::command, kx("menu.lockOne", name),
                           [m, vault] {
                               if (m) m->lock(vault, false);
                           },
                           fullName});
            out.push_back({Kind::command, kx("menu.openOne", name),
                           [m, vault] {
                               if (m) m->openInFileManager(vault);
                           },
                           fullName});
        } else {
            out.push_back(
                {Kind::command, kx("menu.unlockOne", name), [m, vault, open = actions.openMainWindow] {
                     if (!m) return;
                     m->setSelection(vault->config().id);
                     // with a quick-unlock record the system asks; else the
                     // password is typed in the main window
                     if (vault->config().touchID)
                         m->unlockWithTouchID(vault);
                     else if (open)
                         open();
                 },
                 fullName});
        }
    }
    if (model->vaults().empty()) out.push_back({Kind::text, kx("menu.none"), {}, {}});
    out.push_back({Kind::divider, {}, {}, {}});
    if (anyUnlocked) out.push_back({Kind::command, kx("menu.lockAll"), [m] { lockAll(m); }, {}});
    out.push_back({Kind::command, kx("menu.openApp"), actions.openMainWindow, {}});
    out.push_back({Kind::divider, {}, {}, {}});
    out.push_back({Kind::command, kx("menu.quit"), actions.quit, {}});
    return out;
}

QString TrayMenuContent::shownName(const std::string& name) {
    const QFontMetrics metrics(QApplication::font("QMenu"));
    return escaped(metrics.elidedText(QString::fromStdString(name), Qt::ElideMiddle, maxNameWidth));
}

void TrayMenuContent::populate(QMenu* menu, AppModel* model, const Actions& actions) {
    menu->clear();
    menu->setToolTipsVisible(true);
    for (Item& item : items(model, actions)) {
        switch (item.kind) {
        case Kind::divider:
            menu->addSeparator();
            break;
        case Kind::text:
            menu->addAction(item.title)->setEnabled(false);
            break;
        case Kind::command: {
            QAction* a = menu->addAction(item.title);
            if (!item.toolTip.isEmpty()) a->setToolTip(item.toolTip);
            if (item.action) QObject::connect(a, &QAction::triggered, a, [run = item.action] { run(); });
            break;
        }
        }
    }
}

QString TrayMenuContent::symbol(AppModel* model) {
    for (const AppModel::VaultPtr& vault : model->vaults())
        if (model->isUnlocked(vault)) return QStringLiteral("lock.open.fill");
    return QStringLiteral("lock.fill");
}

void TrayMenuContent::lockAll(AppModel* model, std::function<void()> done) {
    auto vaults = std::make_shared<std::vector<AppModel::VaultPtr>>(model->vaults());
    lockFrom(model, std::move(vaults), 0, std::move(done));
}
