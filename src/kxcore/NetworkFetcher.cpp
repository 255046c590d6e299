#include "kxcore/NetworkFetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace kxcore {

NetworkFetcher::NetworkFetcher()
    : manager_(new QNetworkAccessManager) {}

NetworkFetcher::~NetworkFetcher() {
    // Not at once: the destructor may run inside a reply's signal.
    manager_->deleteLater();
}

void NetworkFetcher::get(const QUrl& url, Done done) {
    QNetworkRequest request(url);
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = manager_->get(request);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done = std::move(done)] {
        reply->deleteLater();
        QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            done(std::nullopt);
            return;
        }
        done(Response{reply->readAll(), status.toInt()});
    });
}

} // namespace kxcore
