#pragma once

#include <QObject>

// One source of "the screen was just locked" events.
class ScreenLockSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ScreenLockSource() override = default;

    // A short name for the log ("org.gnome.ScreenSaver", "logind session").
    virtual QString name() const = 0;

signals:
    void screenLocked();
};
