#pragma once

#include "app/shell/BusyAlert.h"

#include <QPointer>

#include <QMessageBox>
class QWidget;

// The quit pass's question about a volume in use, as a modal alert with the
// three buttons in order: force, keep unlocked, cancel (also Escape).
class QuitBusyAlert final : public BusyAlert {
public:
    // The alert's window is made over `parentWindow` when that is visible.
    explicit QuitBusyAlert(QWidget* parentWindow = nullptr)
        : parent_(parentWindow) {}

    void ask(const QString& title, const QString& body, const QStringList& buttons,
             std::function<void(Answer)> answer) override;

    // The alert on screen, if any (tests answer it).
    QMessageBox* current() const { return current_; }

private:
    QPointer<QWidget> parent_;
    QPointer<QMessageBox> current_;
};
