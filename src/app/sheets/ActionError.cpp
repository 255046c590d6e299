#include "app/sheets/ActionError.h"

#include "app/model/AppModel.h"

void ActionError::begin(const AppModel* model) {
    before_.reset();
    if (model && model->message()) before_ = model->message()->id;
}

QString ActionError::take(AppModel* model) {
    if (!model || !model->message() || !model->message()->isError) return {};
    if (before_ && model->message()->id == *before_) return {};
    const QString text = model->message()->text;
    model->setMessage(std::nullopt);
    return text;
}
