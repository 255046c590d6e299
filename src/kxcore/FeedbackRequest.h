#pragma once

#include <QString>
#include <QUuid>

namespace kxcore {

// Why the feedback form is opened: from where ("menu", "settings", an error
// banner), with an optional error code, extra diagnostics and a first text
// for the message. Each request has its own id.
struct FeedbackRequest {
    QUuid id = QUuid::createUuid();
    QString scene;
    QString code;
    QString diagnostics;
    QString prefill;

    FeedbackRequest() = default;
    FeedbackRequest(QString scene_, QString code_ = {}, QString diagnostics_ = {}, QString prefill_ = {})
        : scene(std::move(scene_))
        , code(std::move(code_))
        , diagnostics(std::move(diagnostics_))
        , prefill(std::move(prefill_)) {}
};

} // namespace kxcore
