#pragma once

#include <QByteArray>
#include <QUrl>

#include <functional>
#include <optional>

namespace kxcore {

// One HTTP GET, answered asynchronously on the caller's thread.
class HTTPFetching {
public:
    struct Response {
        QByteArray body;
        int status = 0; // the HTTP status code
    };
    // None when no HTTP reply came (network error, time-out).
    using Done = std::function<void(std::optional<Response>)>;

    virtual ~HTTPFetching() = default;
    virtual void get(const QUrl& url, Done done) = 0;
};

} // namespace kxcore
