#include "app/widgets/FieldError.h"

#include "kxui/KXStyle.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>

namespace {

// An alert whose name is the label's text: what a reader announces.
class FieldErrorAccessible : public QAccessibleWidget {
public:
    explicit FieldErrorAccessible(QWidget* label)
        : QAccessibleWidget(label, QAccessible::AlertMessage) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            const QString name = widget()->accessibleName();
            return name.isEmpty() ? static_cast<QLabel*>(widget())->text() : name;
        }
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* fieldErrorAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("FieldError") && object && object->isWidgetType())
        return new FieldErrorAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

FieldError::FieldError(QWidget* field, QWidget* parent)
    : QLabel(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(fieldErrorAccessible);
        return true;
    }();
    (void)factoryInstalled;
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    KXStyle::setFont(this, KXStyle::Text::callout);
    KXStyle::setTone(this, KXStyle::Tone::red);
    setField(field);
}

void FieldError::setField(QWidget* field) {
    if (field_ == field) return;
    describeField(false);
    field_ = field;
    describeField(isVisible() && !text().isEmpty());
}

void FieldError::describeField(bool shown) {
    if (!field_) {
        describing_ = false;
        return;
    }
    if (shown) {
        if (!describing_) fieldDescription_ = field_->accessibleDescription();
        describing_ = true;
        field_->setAccessibleDescription(text());
    } else if (describing_) {
        describing_ = false;
        field_->setAccessibleDescription(fieldDescription_);
    }
}

bool FieldError::event(QEvent* event) {
    const bool handled = QLabel::event(event);
    if (event->type() == QEvent::Show && !text().isEmpty()) {
        describeField(true);
        QAccessibleEvent alert(this, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    } else if (event->type() == QEvent::Hide) {
        describeField(false);
    }
    return handled;
}
