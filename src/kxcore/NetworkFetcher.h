#pragma once

#include "kxcore/HTTPFetching.h"

#include <memory>

class QNetworkAccessManager;

namespace kxcore {

// HTTPFetching over Qt Network: "Accept: application/json", 20 s time-out.
// Use it on a thread with an event loop; `done` runs on that thread. A
// request still open when the fetcher is destroyed is abandoned and its
// `done` never runs.
class NetworkFetcher : public HTTPFetching {
public:
    static constexpr int timeoutMs = 20'000;

    NetworkFetcher();
    ~NetworkFetcher() override;
    void get(const QUrl& url, Done done) override;

private:
    std::unique_ptr<QNetworkAccessManager> manager_;
};

} // namespace kxcore
