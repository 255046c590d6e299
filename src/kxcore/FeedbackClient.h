#pragma once

#include "kxcore/FeedbackReport.h"
#include "kxcore/ProductInfo.h"

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QObject;

namespace kxcore {

// Sends feedback to the web service's "/api/feedback".
class FeedbackClient {
public:
    static constexpr int timeoutMs = 20'000;
    static constexpr qsizetype logSummaryLimit = 15'000; // characters of diagnostics sent

    // None on success, else the text to show after "Sending failed: ".
    using Done = std::function<void(const std::optional<QString>& error)>;

    // The endpoint for `product`; empty when no web service is configured.
    static QUrl endpoint(const ProductInfo& product);

    // The request body: "email" (trimmed of spaces and tabs), "message",
    // "app_id", "app_version", "device_id", "platform" ("linux"),
    // "log_summary" (the last 15000 characters of the diagnostics, or empty)
    // and "context" {"scene", "code", "os", "product"}.
    static QJsonObject body(const FeedbackReport& report, const ProductInfo& product,
                            const QString& deviceID);

    // Posts the report (JSON, 20 s time-out) and calls `done` on the thread of
    // `receiver` (which must run an event loop) unless `receiver` is gone.
    // Success is only a 200 reply whose body is a JSON object with "success"
    // true; it is logged as "feedback sent (scene=... code=...)". Failures:
    // the transport's description for a request that got no reply, else
    // "server error <status>" (200 too, when "success" is not true).
    // Without a web service the answer is "no feedback service is configured".
    static void send(const FeedbackReport& report, const ProductInfo& product, const QString& deviceID,
                     QObject* receiver, Done done);
};

} // namespace kxcore
