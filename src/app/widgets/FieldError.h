#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>

// Why the last attempt with a field failed, shown under that field in red.
// It is an alert to assistive technologies: each time it shows, a screen
// reader announces its text, and while it shows the field's accessible
// description is that text, so a reader landing on the field reads the
// error with it. Callers set the text and show or hide it as any label.
class FieldError : public QLabel {
    Q_OBJECT
public:
    explicit FieldError(QWidget* field, QWidget* parent = nullptr);

    // The field the error is about (the description follows it).
    QWidget* field() const { return field_; }
    void setField(QWidget* field);

protected:
    bool event(QEvent* event) override;

private:
    void describeField(bool shown);

    QPointer<QWidget> field_;
    // the field's own description, given back when the error hides
    QString fieldDescription_;
    bool describing_ = false;
};
