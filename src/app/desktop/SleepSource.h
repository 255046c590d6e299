#pragma once

#include <QObject>

// Tells the model that the computer is about to sleep, and can hold the sleep
// back while vaults still have to be locked.
//
// The model says through setDelayWanted whether a delay is wanted (some
// vault that locks on sleep is unlocked); when aboutToSleep() arrives it runs
// its lock pass and then calls sleepPassDone(), which lets the machine sleep.
class SleepSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SleepSource() override = default;

    virtual void setDelayWanted(bool wanted) = 0;
    virtual void sleepPassDone() = 0;
    // How long the system waits for the pass at most; a pass still running
    // then is let go (sleepPassDone) so that the next event gets its own.
    virtual int passTimeLimitMs() const { return 5'000; }
    // Whether the service that announces sleep answers (reachableChanged()
    // when that is learnt): without it locking on sleep cannot work.
    virtual bool reachable() const { return true; }

signals:
    void aboutToSleep();
    void reachableChanged();
};
