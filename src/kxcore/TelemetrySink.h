#pragma once

#include <QJsonArray>

namespace kxcore {

// Where batches of telemetry events go. send() is called from any thread,
// must not block, and reports nothing: a batch that cannot be delivered is
// gone.
class TelemetrySink {
public:
    virtual ~TelemetrySink() = default;
    virtual void send(QJsonArray events) = 0;
};

} // namespace kxcore
