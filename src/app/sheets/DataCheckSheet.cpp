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
    close_ = new QPushButton(kx("common.done"), this);
    close_->setDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(close_);
    column->addLayout(row);
    resize(520, whole ? 200 : 420);
}
