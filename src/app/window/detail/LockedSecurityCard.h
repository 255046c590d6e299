#pragma once

#include "app/window/detail/PaneSheet.h"
#include "kxui/Card.h"

class QPushButton;

// A locked vault's security card: Change Password ("lockedChangePassword") with
// what it does beside it.
class LockedSecurityCard : public kxui::Card {
    Q_OBJECT
public:
    explicit LockedSecurityCard(QWidget* parent = nullptr);

signals:
    void sheetRequested(PaneSheet sheet);

private:
    QPushButton* change_ = nullptr;
};
