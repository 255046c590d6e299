#pragma once

#include <QAccessibleWidget>
#include <QWidgetList>

class QAbstractScrollArea;

// A scroll area as assistive technologies see it: its viewport, then the
// scroll bars and the corner widget that show. Qt 6.4's own interface reads
// its list of children without a bounds check, and a reader that asks for a
// child by an index it counted before a scroll bar hid (the pane getting
// shorter when a vault locks) made the application read past the list and
// crash. This one answers such an index with no child.
class KXScrollAreaAccessible final : public QAccessibleWidget {
public:
    explicit KXScrollAreaAccessible(QAbstractScrollArea* area);

    // Makes every QScrollArea use this interface (once; later calls do
    // nothing).
    static void install();

    int childCount() const override;
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;
    QAccessibleInterface* childAt(int x, int y) const override;

private:
    QWidgetList children() const;
};
