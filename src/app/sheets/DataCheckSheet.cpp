#include "app/sheets/DataCheckSheet.h"

#include "app/sheets/SheetStyle.h"
#include "kxui/kx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

DataCheckSheet::DataCheckSheet(const DataCheckReport& report, QWidget* parent)
    : QDialog(parent) {
    const bool whole = report.damagedCount == 0;
    const QString titleText = kx(whole ? "check.wholeTitle" : "check.damagedTitle");
    setWindowTitle(titleText);
    setWindowModality(Qt::WindowModal);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(12);
    title_ = SheetStyle::title(titleText, this);
    column->addWidget(title_);
    if (whole) {
        body_ = SheetStyle::body(kx("check.wholeBody", report.vaultName), this);
        column->addWidget(body_);
    } else {
        body_ = SheetStyle::body(kx("check.damagedBody", report.damagedCount, report.vaultName), this);
        column->addWidget(body_);
        list_ = new QListWidget(this);
        list_->setObjectName(QStringLiteral("damagedList"));
        list_->setAccessibleName(kx("check.damagedTitle"));
        list_->addItems(report.damaged);
        list_->setSelectionMode(QAbstractItemView::ExtendedSelection); // copyable
        column->addWidget(list_, 1);
        const int unnamed = report.damagedCount - static_cast<int>(report.damaged.size());
        if (unnamed > 0) {
            unnamed_ = SheetStyle::caption(kx("check.unnamed", unnamed), this);
            column->addWidget(unnamed_);
        }
        advice_ = SheetStyle::calloutNote(kx("check.advice"), this);
        column->addWidget(advice_);
    }
    // What sync clients left: named, and said to be no damage.
    const auto addList = [&](const QStringList& items, const char* key, const char* objectName, QLabel*& label,
                             QListWidget*& list) {
        if (items.isEmpty()) return;
        label = SheetStyle::caption(kx(key, static_cast<int>(items.size())), this);
        label->setWordWrap(true);
        column->addWidget(label);
        list = new QListWidget(this);
        list->setObjectName(QString::fromLatin1(objectName));
        list->setAccessibleName(label->text());
        list->addItems(items);
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        column->addWidget(list, 1);
    };
    addList(report.conflictCopies, "check.conflictCopies", "conflictCopyList", conflictCopiesLabel_, conflictCopies_);
    addList(report.syncTemporaries, "check.syncTemporaries", "syncTemporaryList", syncTemporariesLabel_,
            syncTemporaries_);
    close_ = new QPushButton(kx("common.done"), this);
    close_->setDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(close_);
    column->addLayout(row);
    resize(520, whole && !conflictCopies_ && !syncTemporaries_ ? 200 : 420);
}
