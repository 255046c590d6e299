#pragma once

#include "kxcore/HTTPFetching.h"

class QNetworkAccessManager;

namespace kxcore {

// HTTPFetching over Qt Network: "Accept: application/json", 20 s time-out.
// Use it on a thread with an event loop; `done` runs on that thread. The
// fetcher may be destroyed at any time, also from inside `done` (its
// network objects are deleted by the event loop afterwards); a request still
// open then is abandoned and its `done` never runs.
class NetworkFetcher : public HTTPFetching {
public:
    static constexpr int timeoutMs = 20'000;

    NetworkFetcher();
    ~NetworkFetcher() override;
    void get(const QUrl& url, Done done) override;

private:
    QNetworkAccessManager* manager_; // deleted later, by the event loop
};

} // namespace kxcore
