#include "kxcore/FeedbackClient.h"

#include "kxcore/Log.h"
#include "kxcore/SystemInfo.h"
#include "kxcore/Telemetry.h"
#include "kxcore/WebService.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

namespace kxcore {

QUrl FeedbackClient::endpoint(const ProductInfo& product) {
    return WebService::endpoint(product, QLatin1String(WebService::feedbackPath));
}

QJsonObject FeedbackClient::body(const FeedbackReport& report, const ProductInfo& product,
                                 const QString& deviceID) {
    QString summary =
        report.diagnostics ? FeedbackReport::lastCharacters(*report.diagnostics, logSummaryLimit) : QString();
    return QJsonObject{
        {QStringLiteral("email"), FeedbackReport::trimSpacesAndTabs(report.email)},
        {QStringLiteral("message"), report.message},
        {QStringLiteral("app_id"), product.id},
        {QStringLiteral("app_version"), product.version},
        {QStringLiteral("device_id"), deviceID},
        {QStringLiteral("platform"), QLatin1String(Telemetry::platform)},
        {QStringLiteral("log_summary"), summary},
        {QStringLiteral("context"),
         QJsonObject{
             {QStringLiteral("scene"), report.scene},
             {QStringLiteral("code"), report.code},
             {QStringLiteral("os"), SystemInfo::osVersion()},
             {QStringLiteral("product"), product.displayName},
         }},
    };
}

void FeedbackClient::send(const FeedbackReport& report, const ProductInfo& product, const QString& deviceID,
                          QObject* receiver, Done done) {
    QPointer<QObject> guard(receiver);
    // An empty text means success.
    auto finish = [guard, done](const QString& error) {
        if (!guard) return;
        if (error.isEmpty())
            done(std::nullopt);
        else
            done(error);
    };
    QUrl url = endpoint(product);
    if (url.isEmpty()) {
        QMetaObject::invokeMethod(
            receiver, [finish] { finish(QStringLiteral("no feedback service is configured")); },
            Qt::QueuedConnection);
        return;
    }
    QByteArray payload = QJsonDocument(body(report, product, deviceID)).toJson(QJsonDocument::Compact);

    auto* manager = new QNetworkAccessManager(receiver);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = manager->post(request, payload);
    const QString scene = report.scene, code = report.code;
    QObject::connect(reply, &QNetworkReply::finished, manager, [reply, manager, finish, scene, code] {
        reply->deleteLater();
        manager->deleteLater();
        QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!statusAttribute.isValid()) {
            // No HTTP reply at all: refused, unreachable, timed out, TLS failure.
            QString description = reply->errorString();
            finish(description.isEmpty() ? QStringLiteral("network error") : description);
            return;
        }
        const int status = statusAttribute.toInt();
        QJsonDocument doc = QJsonDocument::fromJson(reply->readAll());
        if (status == 200 && doc.isObject() &&
            doc.object().value(QLatin1String("success")) == QJsonValue(true)) {
            Log::shared().info("feedback sent (scene=" + scene.toStdString() + " code=" + code.toStdString() +
                               ")");
            finish(QString());
            return;
        }
        finish(QStringLiteral("server error %1").arg(status));
    });
}

} // namespace kxcore
