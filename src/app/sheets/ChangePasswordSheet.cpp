#include "app/sheets/ChangePasswordSheet.h"

#include "app/model/AppModel.h"
#include "app/sheets/SheetStyle.h"
#include "app/widgets/BusySpinner.h"
#include "app/widgets/PasswordField.h"
#include "app/widgets/PasswordStrength.h"
#include "app/widgets/StrengthBar.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

PasswordField* secureField(const QString& placeholder, QWidget* parent) {
    auto* field = new PasswordField(placeholder, parent);
    field->setFixedWidth(SheetStyle::fieldWidth);
    return field;
}

} // namespace

ChangePasswordSheet::ChangePasswordSheet(AppModel* model, std::shared_ptr<vaultkit::Vault> vault,
                                         QWidget* parent)
    : QDialog(parent)
    , model_(model)
    , vault_(std::move(vault))
    , old_(secureField(kx("change.old"), this))
    , new_(secureField(kx("change.new"), this))
    , confirm_(secureField(kx("create.pw2"), this))
    , strength_(new StrengthBar(this))
    , error_(new FieldError(nullptr, this))
    , cancel_(new QPushButton(kx("common.cancel"), this))
    , action_(new QPushButton(kx("change.action"), this))
    , spinner_(new BusySpinner(this)) {
    setWindowTitle(kx("change.title"));
    setWindowModality(Qt::WindowModal);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);
    auto* title = SheetStyle::title(kx("change.title"), this);
    auto* body = SheetStyle::body(kx("change.body"), this);
    const int width = 440 - 2 * SheetStyle::inset;
    title->setFixedWidth(width);
    body->setFixedWidth(width);
    column->addWidget(title);
    column->addWidget(body);
    column->addWidget(old_);
    column->addWidget(new_);
    column->addWidget(confirm_);
    column->addWidget(strength_);
    error_->setObjectName(QStringLiteral("sheetError"));
    error_->setFixedWidth(width);
    error_->hide();
    column->addWidget(error_);

    for (auto* field : {old_, new_, confirm_}) {
        connect(field, &QLineEdit::textChanged, this, &ChangePasswordSheet::refresh);
        connect(field, &QLineEdit::textEdited, error_, &QLabel::hide);
    }
    connect(new_, &QLineEdit::textChanged, strength_, &StrengthBar::setPassword);

    connect(action_, &QPushButton::clicked, this, &ChangePasswordSheet::change);
    column->addLayout(SheetStyle::actionRow(this, cancel_, spinner_, action_));
    refresh();
}

bool ChangePasswordSheet::canChange() const {
    return !old_->text().isEmpty() && PasswordStrength::characters(new_->text()) >= 8 &&
           new_->text() == confirm_->text() && !busy_;
}

void ChangePasswordSheet::change() {
    if (!canChange() || !model_) return;
    busy_ = true;
    error_->hide();
    actionError_.begin(model_);
    refresh();
    QPointer<ChangePasswordSheet> guard(this);
    model_->changePassword(vault_, old_->text(), new_->text(), [guard](bool ok) {
        if (!guard) return;
        guard->busy_ = false;
        guard->refresh();
        if (ok) {
            for (auto* field : {guard->old_, guard->new_, guard->confirm_})
                field->clear();
            guard->accept();
            return;
        }
        const QString why = guard->actionError_.take(guard->model_);
        // a wrong current password is corrected there; any other refusal
        // is about the new one
        PasswordField* field = why == kx("err.wrongPassword") || why.isEmpty() ? guard->old_ : guard->new_;
        guard->error_->setField(field);
        guard->error_->setText(why);
        guard->error_->setVisible(!why.isEmpty());
        field->selectForRetry();
    });
}

void ChangePasswordSheet::refresh() {
    action_->setEnabled(canChange());
    spinner_->setVisible(busy_);
}
