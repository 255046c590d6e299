#include "kxcore/HTTPTelemetrySink.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

namespace kxcore {

HTTPTelemetrySink::HTTPTelemetrySink(QUrl endpoint)
    : endpoint_(std::move(endpoint))
    , context_(new QObject) {
    if (QCoreApplication* app = QCoreApplication::instance()) context_->moveToThread(app->thread());
}

HTTPTelemetrySink::~HTTPTelemetrySink() {
    if (context_) context_->deleteLater();
}

void HTTPTelemetrySink::send(QJsonArray events) {
    if (endpoint_.isEmpty() || events.isEmpty() || !context_) return;
    QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("events"), events}}).toJson(QJsonDocument::Compact);
    QObject* context = context_.data();
    QUrl endpoint = endpoint_;
    // Runs on the context's thread; dropped if the sink is gone by then.
    QMetaObject::invokeMethod(
        context,
        [context, endpoint, body] {
            auto* manager = context->findChild<QNetworkAccessManager*>();
            if (!manager) manager = new QNetworkAccessManager(context);
            QNetworkRequest request(endpoint);
            request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
            request.setTransferTimeout(timeoutMs);
            QNetworkReply* reply = manager->post(request, body);
            QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        },
        Qt::QueuedConnection);
}

} // namespace kxcore
