#pragma once

#include "app/model/AppModelTypes.h"

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;

// The result of a check of a vault's encrypted data: either that everything
// is whole, or the damaged files and folders by their paths inside the vault
// (how many more could not be named) and what to do about them: restore
// those files from a backup. Sync clients' conflict copies not shown yet and
// their temporary files are listed apart, as no damage.
class DataCheckSheet : public QDialog {
    Q_OBJECT
public:
    explicit DataCheckSheet(const DataCheckReport& report, QWidget* parent = nullptr);

    QLabel* titleLabel() const { return title_; }
    QLabel* bodyLabel() const { return body_; }
    // None when nothing is damaged.
    QListWidget* damagedList() const { return list_; }
    QLabel* unnamedLabel() const { return unnamed_; }
    QLabel* adviceLabel() const { return advice_; }
    QPushButton* closeButton() const { return close_; }
    // The sync clients' entries that are no damage; none when there are none.
    QListWidget* conflictCopyList() const { return conflictCopies_; }
    QListWidget* syncTemporaryList() const { return syncTemporaries_; }
    QLabel* conflictCopiesLabel() const { return conflictCopiesLabel_; }
    QLabel* syncTemporariesLabel() const { return syncTemporariesLabel_; }

private:
    QLabel* title_ = nullptr;
    QLabel* body_ = nullptr;
    QListWidget* list_ = nullptr;
    QLabel* unnamed_ = nullptr;
    QLabel* advice_ = nullptr;
    QPushButton* close_ = nullptr;
    QListWidget* conflictCopies_ = nullptr;
    QListWidget* syncTemporaries_ = nullptr;
    QLabel* conflictCopiesLabel_ = nullptr;
    QLabel* syncTemporariesLabel_ = nullptr;
};
