#include "app/window/detail/WorkingRow.h"

#include "app/widgets/BusySpinner.h"
#include "kxui/KXStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

WorkingRow::WorkingRow(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("workingRow"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    spinner_ = new BusySpinner(this);
    row->addWidget(spinner_);
    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("workingText"));
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);
    KXStyle::setTone(text_, KXStyle::Tone::secondary);
    row->addWidget(text_);
    importBar_ = new QProgressBar(this);
    importBar_->setObjectName(QStringLiteral("importProgress"));
    importBar_->setRange(0, 1000);
    importBar_->setTextVisible(false);
    importBar_->setFixedWidth(180);
    importBar_->setMaximumHeight(8);
    row->addWidget(importBar_);
    row->addStretch(1);
    hide();
}

void WorkingRow::showWork(const std::optional<QString>& work, std::optional<double> progress) {
    setVisible(work.has_value());
    if (work) text_->setText(*work);
    const bool determinate = work && progress;
    importBar_->setVisible(determinate);
    if (determinate) importBar_->setValue(static_cast<int>(std::clamp(*progress, 0.0, 1.0) * 1000));
}
