#pragma once

#include "app/model/AppModel.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>

class DropHighlight;
class QListWidget;
class QMimeData;
class QWidget;

// Files and folders dragged from the file manager onto the window. Dropped
// on a vault in the sidebar they go into that vault, anywhere else into the
// selected vault. An unlocked vault imports them at once (the model's import:
// every copy checked, then the result sheet); a locked one first asks for its
// password and imports once the unlock worked. Only local files are taken; a
// drag that carries none is refused, and so is one holding the vault it would
// go into. While an accepted drag hovers, the place it would go is marked:
// the vault's row in the sidebar, or the whole content for the selected
// vault; a refused drag marks nothing.
class ImportDrop final : public QObject {
    Q_OBJECT
public:
    // Takes the drags of local files over `area` (the window's content) and
    // any widget in it; the viewport of `list` is the sidebar, whose items
    // hold their vault's id text under `idRole`.
    ImportDrop(AppModel* model, QWidget* area, QListWidget* list, int idRole);

    // The local files and folders a drag carries.
    static QList<QUrl> localItems(const QMimeData* mime);
    // The vault a drop at `pos` of `widget` goes to (none: no vault).
    AppModel::VaultPtr targetAt(QObject* widget, const QPoint& pos) const;
    // Whether `vault` can take these items (none can take a drag holding it).
    static bool canTake(const AppModel::VaultPtr& vault, const QList<QUrl>& urls);
    // The mark shown while a drag hovers (hidden otherwise).
    QWidget* highlight() const;
    // What a drop does with the items for `vault`.
    void importInto(const AppModel::VaultPtr& vault, const QList<QUrl>& urls);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<AppModel> model_;
    QPointer<QWidget> area_;
    QPointer<QListWidget> list_;
    int idRole_;
    DropHighlight* highlight_ = nullptr;

    void markTarget(QWidget* widget, const QPoint& pos, bool usable);
};
