#include "app/sheets/MnemonicSheet.h"

#include "app/sheets/MnemonicGrid.h"
#include "app/sheets/RecoveryPrint.h"
#include "app/sheets/SheetStyle.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QStringList wordsOf(const vaultkit::Mnemonic& mnemonic) {
    QStringList out;
    for (const auto& w : mnemonic.words())
        out << QString::fromStdString(w);
    return out;
}

} // namespace

MnemonicSheet::MnemonicSheet(const QString& title, const vaultkit::Mnemonic& mnemonic,
                             std::function<void()> onDone, QWidget* parent)
    : QDialog(parent)
    , words_(wordsOf(mnemonic))
    , onDone_(std::move(onDone))
    , grid_(new MnemonicGrid(words_, this))
    , wrote_(new QCheckBox(kx("create.mnWrote"), this))
    , print_(new QPushButton(kx("print.button"), this))
    , done_(new QPushButton(kx("common.done"), this)) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(14);
    column->setSizeConstraint(QLayout::SetFixedSize);
    const int width = 560 - 2 * SheetStyle::inset;
    auto* titleLabel = SheetStyle::title(title, this);
    auto* body = SheetStyle::body(kx("create.mnBody"), this);
    titleLabel->setFixedWidth(width);
    body->setFixedWidth(width);
    grid_->setFixedWidth(width);
    column->addWidget(titleLabel);
    column->addWidget(body);
    column->addWidget(grid_);

    auto* toggleRow = new QHBoxLayout;
    toggleRow->addWidget(wrote_);
    toggleRow->addStretch(1);
    print_->setAutoDefault(false);
    connect(print_, &QPushButton::clicked, this, [this] {
        RecoveryPrint::print({vaultName_, QDate::currentDate(), words_}, this);
    });
    toggleRow->addWidget(print_);
    column->addLayout(toggleRow);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    KXStyle::makeProminent(done_);
    done_->setDefault(true);
    done_->setEnabled(false);
    connect(wrote_, &QCheckBox::toggled, done_, &QPushButton::setEnabled);
    connect(done_, &QPushButton::clicked, this, &MnemonicSheet::finish);
    buttons->addWidget(done_);
    column->addLayout(buttons);
}

void MnemonicSheet::finish() {
    if (!wrote_->isChecked() || finished_) return;
    finished_ = true;
    QPointer<MnemonicSheet> guard(this);
    if (onDone_) onDone_(); // may close this sheet already
    if (guard && isVisible()) accept();
}

void MnemonicSheet::reject() {
    // no way out but Done: the phrase must have been written down
}

void MnemonicSheet::closeEvent(QCloseEvent* event) {
    if (!finished_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
