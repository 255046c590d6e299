#include "app/window/detail/HiddenConflictsNote.h"

#include "kxui/KXStyle.h"
#include "kxui/kx.h"

HiddenConflictsNote::HiddenConflictsNote(QWidget* parent)
    : QLabel(parent) {
    setObjectName(QStringLiteral("hiddenConflicts"));
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    KXStyle::setFont(this, KXStyle::Text::callout);
    hide();
}

void HiddenConflictsNote::showConflicts(const QStringList& hidden) {
    setVisible(!hidden.isEmpty());
    if (!hidden.isEmpty())
        setText(kx("conflicts.hidden", static_cast<int>(hidden.size())) + QLatin1Char('\n') +
                hidden.join(QLatin1Char('\n')));
}
