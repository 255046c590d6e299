#pragma once

#include "app/desktop/IdleSource.h"
#include "app/desktop/ScreenLockSource.h"
#include "app/desktop/SleepSource.h"

#include <memory>
#include <vector>

// The system's events that lock vaults on their own: the computer going to
// sleep, the screen being locked, the session's idle time. Every member may
// be empty: that trigger then never fires (an empty idle list: idle locking
// is off, logged once).
struct EventSources {
    std::unique_ptr<SleepSource> sleep;
    std::vector<std::unique_ptr<ScreenLockSource>> screenLocks;
    std::vector<std::unique_ptr<IdleSource>> idle; // asked in this order

    EventSources();
    EventSources(EventSources&&) noexcept;
    EventSources& operator=(EventSources&&) noexcept;
    ~EventSources();

    // The desktop's sources: logind on the system bus for sleep and the
    // session's lock, the screen savers and idle monitors on the session bus,
    // then the Wayland compositor's idle protocols, then X11.
    static EventSources desktop();
};
