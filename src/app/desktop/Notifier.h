#pragma once

#include <QObject>
#include <QString>

// Shows a notice on the desktop (outside the window), for work that ends while
// nobody looks at the window. A click on a notice comes back as activated()
// with the tag it was shown with.
class Notifier : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Notifier() override = default;

    // Asynchronous: never waits for the desktop. A desktop without a
    // notification service drops the notice (logged once).
    virtual void show(const QString& title, const QString& body, const QString& tag) = 0;

signals:
    void activated(const QString& tag);
};
