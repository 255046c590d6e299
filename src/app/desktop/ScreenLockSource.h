#pragma once

#include <QObject>

// One source of "the screen was just locked" events, and of "unlocked
// again" where the source tells (an automatic lock that has to wait for a
// program to let go of a file is retried only while the screen stays locked).
class ScreenLockSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ScreenLockSource() override = default;

    // A short name for the log ("org.gnome.ScreenSaver", "logind session").
    virtual QString name() const = 0;

signals:
    void screenLocked();
    void screenUnlocked();
};
