#pragma once

#include <QString>

class QWidget;

namespace kxui {

// The three alerts of an update check, behind one interface so that tests
// can answer them without modal loops.
class UpdateAlerts {
public:
    virtual ~UpdateAlerts() = default;
    // A newer version: the message, the release notes and the buttons
    // "Download" and "Cancel". Returns whether "Download" was chosen.
    virtual bool offerUpdate(const QString& message, const QString& notes) = 0;
    // Up to date, or the check failed: the message and one "OK" button.
    virtual void inform(const QString& message) = 0;
};

// The alerts as modal message boxes.
class MessageBoxUpdateAlerts : public UpdateAlerts {
public:
    explicit MessageBoxUpdateAlerts(QWidget* parent = nullptr)
        : parent_(parent) {}
    bool offerUpdate(const QString& message, const QString& notes) override;
    void inform(const QString& message) override;

private:
    QWidget* parent_;
};

} // namespace kxui
