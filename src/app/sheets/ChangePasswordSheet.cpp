#include "app/sheets/ChangePasswordSheet.h"

#include "app/model/AppModel.h"
#include "app/sheets/PasswordStrength.h"
#include "app/sheets/SheetStyle.h"
#include "app/sheets/StrengthBar.h"
#include "app/window/BusySpinner.h"
#include "kxui/KXStyle.h"
#include "kxui/kx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* secureField(const QString& placeholder, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    field->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
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

    for (auto* field : {old_, new_, confirm_})
        connect(field, &QLineEdit::textChanged, this, &ChangePasswordSheet::refresh);
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
    refresh();
    QPointer<ChangePasswordSheet> guard(this);
    model_->changePassword(vault_, old_->text(), new_->text(), [guard](bool ok) {
        if (!guard) return;
        if (ok) {
            for (auto* field : {guard->old_, guard->new_, guard->confirm_})
                field->clear();
            guard->accept();
        }
        guard->busy_ = false;
        guard->refresh();
    });
}

void ChangePasswordSheet::refresh() {
    action_->setEnabled(canChange());
    spinner_->setVisible(busy_);
}
