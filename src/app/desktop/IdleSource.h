#pragma once

#include <QString>

#include <functional>
#include <optional>

// The time since the last input anywhere in the user's session (not only in
// this application). Asked every 30 seconds on the GUI thread; the answer may
// come later (a D-Bus reply) but always comes exactly once, on the GUI thread.
class IdleSource {
public:
    virtual ~IdleSource() = default;
    // A short name for the log.
    virtual QString name() const = 0;
    // Seconds of inactivity, or none when this source cannot tell.
    using Answer = std::function<void(std::optional<double> seconds)>;
    virtual void idleSeconds(Answer answer) = 0;
};
