#include "app/window/ImportDrop.h"

#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/window/DropHighlight.h"
#include "kxui/kx.h"
#include "vaultkit/import/Importer.h"
#include "vaultkit/vault/Vault.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>

#include <filesystem>
#include <vector>

ImportDrop::ImportDrop(AppModel* model, QWidget* area, QListWidget* list, int idRole)
    : QObject(area)
    , model_(model)
    , area_(area)
    , list_(list)
    , idRole_(idRole)
    , highlight_(new DropHighlight(area)) {
    area->setAcceptDrops(true);
    if (list) {
        list->setAcceptDrops(true);
        list->viewport()->setAcceptDrops(true);
    }
    // Seen for every widget of the area, also those that take drops of their
    // own (a dropped file must not become the text of the password field).
    qApp->installEventFilter(this);
}

QList<QUrl> ImportDrop::localItems(const QMimeData* mime) {
    QList<QUrl> out;
    if (!mime || !mime->hasUrls()) return out;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) out << url;
    return out;
}

AppModel::VaultPtr ImportDrop::targetAt(QObject* widget, const QPoint& pos) const {
    if (!model_) return nullptr;
    if (list_ && widget == list_->viewport()) {
        if (QListWidgetItem* item = list_->itemAt(pos)) {
            const auto id = vaultkit::Uuid::parse(item->data(idRole_).toString().toStdString());
            return id ? model_->vaultWithId(*id) : nullptr;
        }
    }
    return model_->selected();
}

bool ImportDrop::canTake(const AppModel::VaultPtr& vault, const QList<QUrl>& urls) {
    if (!vault || urls.isEmpty()) return false;
    std::vector<std::filesystem::path> sources;
    for (const QUrl& url : urls)
        sources.emplace_back(url.toLocalFile().toStdString());
    return !vaultkit::Importer::sourceHoldingVault(sources, *vault);
}

QWidget* ImportDrop::highlight() const {
    return highlight_;
}

void ImportDrop::markTarget(QWidget* widget, const QPoint& pos, bool usable) {
    if (!highlight_ || !area_) return;
    if (!usable) {
        highlight_->hide();
        return;
    }
    QRect over = area_->rect();
    if (list_ && widget == list_->viewport()) {
        if (QListWidgetItem* item = list_->itemAt(pos)) {
            const QRect row = list_->visualItemRect(item);
            over = QRect(widget->mapTo(area_.data(), row.topLeft()), row.size());
        }
    }
    highlight_->showOver(over);
}

void ImportDrop::importInto(const AppModel::VaultPtr& vault, const QList<QUrl>& urls) {
    if (!model_ || !vault || urls.isEmpty()) return;
    model_->setSelection(vault->config().id);
    if (model_->isUnlocked(vault)) {
        model_->importItems(vault, urls);
        return;
    }
    QPointer<AppModel> model = model_;
    const QString name = QString::fromStdString(vault->config().name);
    QDialog* dialog = SheetPresenter::openPasswordPrompt(
        kx("import.unlockTitle", name), kx("import.unlockNote"),
        [model, vault, urls](const QString& password, std::function<void(bool)> done) {
            if (!model) {
                done(false);
                return;
            }
            model->unlock(vault, password, [model, vault, urls, done](bool ok) {
                done(ok);
                if (ok && model) model->importItems(vault, urls);
            });
        },
        area_ ? area_->window() : nullptr);
    // a wrong password shows in the prompt, not behind it
    if (auto* prompt = qobject_cast<PasswordPromptSheet*>(dialog)) prompt->showErrorsOf(model_);
}

bool ImportDrop::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::DragLeave) {
        // the drag left a widget: it marks again where it enters next
        if (highlight_) highlight_->hide();
        return QObject::eventFilter(watched, event);
    }
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QObject::eventFilter(watched, event);
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || !area_ || (widget != area_ && !area_->isAncestorOf(widget)))
        return QObject::eventFilter(watched, event);
    // Drags of anything but local files stay with the widget (text into a
    // field, the list's own moves).
    if (localItems(static_cast<QDropEvent*>(event)->mimeData()).isEmpty())
        return widget == area_ ? (event->ignore(), true) : QObject::eventFilter(watched, event);
    switch (type) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        const QPoint pos = drag->position().toPoint();
        const bool usable = canTake(targetAt(watched, pos), localItems(drag->mimeData()));
        markTarget(widget, pos, usable);
        if (usable) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const QList<QUrl> urls = localItems(drop->mimeData());
        const AppModel::VaultPtr vault = targetAt(watched, drop->position().toPoint());
        if (highlight_) highlight_->hide();
        if (!canTake(vault, urls)) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        importInto(vault, urls);
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}
