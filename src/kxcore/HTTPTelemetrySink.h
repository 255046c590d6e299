#pragma once

#include "kxcore/TelemetrySink.h"

#include <QPointer>
#include <QUrl>

class QObject;

namespace kxcore {

// Posts each batch as {"events": [...]} (compact JSON, Content-Type
// application/json, 10 s time-out) to `endpoint`. Replies and errors are
// ignored. An empty endpoint (no web service) drops every batch.
//
// The requests are made on the thread of the application object (the GUI
// thread), or, without one, on the thread that made the sink; that thread
// must run an event loop.
class HTTPTelemetrySink : public TelemetrySink {
public:
    static constexpr int timeoutMs = 10'000;

    explicit HTTPTelemetrySink(QUrl endpoint);
    ~HTTPTelemetrySink() override;
    HTTPTelemetrySink(const HTTPTelemetrySink&) = delete;
    HTTPTelemetrySink& operator=(const HTTPTelemetrySink&) = delete;

    const QUrl& endpoint() const noexcept { return endpoint_; }
    void send(QJsonArray events) override;

private:
    QUrl endpoint_;
    QPointer<QObject> context_; // lives on the network thread; owns the network access manager
};

} // namespace kxcore
