#include "kxui/UpdateAlerts.h"

#include "kxui/kx.h"

#include <QMessageBox>
#include <QPushButton>

namespace kxui {

bool MessageBoxUpdateAlerts::offerUpdate(const QString& message, const QString& notes) {
    QMessageBox box(parent_);
    box.setIcon(QMessageBox::Information);
    box.setText(message);
    box.setInformativeText(notes);
    QPushButton* download = box.addButton(kx("update.download"), QMessageBox::AcceptRole);
    box.addButton(kx("common.cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(download);
    box.exec();
    return box.clickedButton() == download;
}

void MessageBoxUpdateAlerts::inform(const QString& message) {
    QMessageBox box(parent_);
    box.setIcon(QMessageBox::Information);
    box.setText(message);
    box.addButton(kx("common.ok"), QMessageBox::AcceptRole);
    box.exec();
}

} // namespace kxui
