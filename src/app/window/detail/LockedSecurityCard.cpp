#include "app/window/detail/LockedSecurityCard.h"

#include "app/window/detail/CardParts.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

LockedSecurityCard::LockedSecurityCard(QWidget* parent)
    : kxui::Card(parent) {
    setObjectName(QStringLiteral("lockedSecurityCard"));
    add(cardparts::title(kx("security.title"), this));
    auto* row = cardparts::row(12);
    change_ = new QPushButton(kx("action.changePassword"), this);
    change_->setObjectName(QStringLiteral("lockedChangePassword"));
    connect(change_, &QPushButton::clicked, this, [this] { emit sheetRequested(PaneSheet::changePassword); });
    row->addWidget(change_, 0, Qt::AlignTop);
    auto* note = new QLabel(kx("security.changeNote"), this);
    note->setWordWrap(true);
    KXStyle::setFont(note, KXStyle::Text::callout);
    KXStyle::setTone(note, KXStyle::Tone::secondary);
    row->addWidget(note, 1, Qt::AlignVCenter);
    content()->addLayout(row);
}
