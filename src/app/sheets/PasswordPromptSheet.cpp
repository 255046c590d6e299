#include "app/sheets/PasswordPromptSheet.h"

#include "app/model/AppModel.h"
#include "app/sheets/SheetStyle.h"
#include "app/widgets/BusySpinner.h"
#include "app/widgets/FieldError.h"
#include "app/widgets/PasswordField.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

PasswordPromptSheet::PasswordPromptSheet(const QString& title, const QString& note, Action action,
                                         QWidget* parent)
    : QDialog(parent)
    , action_(std::move(action))
    , field_(new PasswordField(kx("unlock.placeholder"), this))
    , error_(new FieldError(field_, this))
    , cancel_(new QPushButton(kx("common.cancel"), this))
    , ok_(new QPushButton(kx("common.ok"), this))
    , spinner_(new BusySpinner(this)) {
    setWindowTitle(title);
    setWindowModality(Qt::WindowModal);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);
    auto* titleLabel = SheetStyle::title(title, this);
    auto* noteLabel = SheetStyle::body(note, this);
    column->addWidget(titleLabel);
    column->addWidget(noteLabel);

    connect(field_, &QLineEdit::textChanged, this, &PasswordPromptSheet::refresh);
    column->addWidget(field_);
    error_->setObjectName(QStringLiteral("sheetError"));
    error_->hide();
    column->addWidget(error_);
    // the error is about what was typed; typing again answers it
    connect(field_, &QLineEdit::textEdited, error_, &QLabel::hide);

    connect(ok_, &QPushButton::clicked, this, &PasswordPromptSheet::go);
    column->addLayout(SheetStyle::actionRow(this, cancel_, spinner_, ok_));

    // a fixed width; the height follows the wrapped note
    const int width = 420 - 2 * SheetStyle::inset;
    titleLabel->setFixedWidth(width);
    noteLabel->setFixedWidth(width);
    field_->setFixedWidth(width);
    error_->setFixedWidth(width);
    refresh();
}

void PasswordPromptSheet::showErrorsOf(AppModel* model) {
    model_ = model;
}

void PasswordPromptSheet::go() {
    if (busy_ || field_->text().isEmpty() || !action_) return;
    busy_ = true;
    error_->hide();
    actionError_.begin(model_);
    refresh();
    QPointer<PasswordPromptSheet> guard(this);
    action_(field_->text(), [guard](bool ok) {
        if (!guard) return;
        guard->busy_ = false;
        guard->refresh();
        if (ok) {
            guard->field_->clear();
            guard->accept();
            return;
        }
        const QString why = guard->actionError_.take(guard->model_);
        guard->error_->setText(why);
        guard->error_->setVisible(!why.isEmpty());
        guard->field_->selectForRetry();
    });
}

void PasswordPromptSheet::refresh() {
    ok_->setEnabled(!field_->text().isEmpty() && !busy_);
    spinner_->setVisible(busy_);
}
