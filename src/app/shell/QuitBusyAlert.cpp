#include "app/shell/QuitBusyAlert.h"

#include <QMessageBox>
#include <QPushButton>

#include <memory>

void QuitBusyAlert::ask(const QString& title, const QString& body, const QStringList& buttons,
                        std::function<void(Answer)> answer) {
    QWidget* parent = parent_ && parent_->isVisible() ? parent_.data() : nullptr;
    auto* alert = new QMessageBox(parent);
    alert->setIcon(QMessageBox::Warning);
    alert->setText(title);
    alert->setInformativeText(body);
    QPushButton* force = alert->addButton(buttons.value(0), QMessageBox::DestructiveRole);
    QPushButton* keep = alert->addButton(buttons.value(1), QMessageBox::AcceptRole);
    QPushButton* cancel = alert->addButton(buttons.value(2), QMessageBox::RejectRole);
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::ApplicationModal);
    // answered exactly once, whichever way the alert goes away
    auto answered = std::make_shared<bool>(false);
    auto reply = [answer, answered](Answer a) {
        if (*answered) return;
        *answered = true;
        answer(a);
    };
    QObject::connect(alert, &QMessageBox::buttonClicked, alert, [reply, force, keep](QAbstractButton* b) {
        reply(b == force ? Answer::force : b == keep ? Answer::keep : Answer::cancel);
    });
    QObject::connect(alert, &QObject::destroyed, [reply] { reply(Answer::cancel); });
    current_ = alert;
    alert->open();
}
