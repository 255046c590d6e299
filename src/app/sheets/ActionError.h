#pragma once

#include "vaultkit/record/Uuid.h"

#include <QString>

#include <optional>

class AppModel;

// The error the model reported for one action started from a sheet or a
// field (a wrong password, a refused new one). The model publishes every
// failure as its banner over the window; the sheet that started the action
// takes the message from there and shows it beside its own fields, where the
// user is looking, instead of behind itself.
class ActionError {
public:
    // Before the action: remembers which banner was up, so that an older
    // error is never taken for this action's.
    void begin(const AppModel* model);
    // After the action failed: the model's new error text, taken off the
    // banner; empty when the model reported no new error (for example when
    // it asked about programs holding files instead).
    QString take(AppModel* model);

private:
    std::optional<vaultkit::Uuid> before_;
};
