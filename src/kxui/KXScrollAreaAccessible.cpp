#include "kxui/KXScrollAreaAccessible.h"

#include <QAccessible>
#include <QScrollArea>
#include <QScrollBar>

namespace {

QAccessibleInterface* scrollAreas(const QString&, QObject* object) {
    auto* area = qobject_cast<QScrollArea*>(object);
    return area ? new KXScrollAreaAccessible(area) : nullptr;
}

} // namespace

KXScrollAreaAccessible::KXScrollAreaAccessible(QAbstractScrollArea* area)
    : QAccessibleWidget(area, QAccessible::Client) {}

void KXScrollAreaAccessible::install() {
    static const bool installed = [] {
        QAccessible::installFactory(scrollAreas);
        return true;
    }();
    (void)installed;
}

QWidgetList KXScrollAreaAccessible::children() const {
    QWidgetList out;
    auto* area = qobject_cast<QAbstractScrollArea*>(widget());
    if (!area) return out;
    if (QWidget* viewport = area->viewport()) out.append(viewport);
    // a scroll bar lives in a container of the scroll area's own
    for (QScrollBar* bar : {area->horizontalScrollBar(), area->verticalScrollBar()})
        if (bar && bar->isVisible() && bar->parentWidget()) out.append(bar->parentWidget());
    QWidget* corner = area->cornerWidget();
    if (corner && corner->isVisible()) out.append(corner);
    return out;
}

int KXScrollAreaAccessible::childCount() const {
    return int(children().size());
}

QAccessibleInterface* KXScrollAreaAccessible::child(int index) const {
    const QWidgetList list = children();
    if (index < 0 || index >= list.size()) return nullptr;
    return QAccessible::queryAccessibleInterface(list.at(index));
}

int KXScrollAreaAccessible::indexOfChild(const QAccessibleInterface* child) const {
    if (!child || !child->object()) return -1;
    return int(children().indexOf(qobject_cast<QWidget*>(child->object())));
}

QAccessibleInterface* KXScrollAreaAccessible::childAt(int x, int y) const {
    for (QWidget* w : children()) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
        if (iface && iface->rect().contains(x, y)) return iface;
    }
    return nullptr;
}
