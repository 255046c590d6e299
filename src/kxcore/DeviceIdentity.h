#pragma once

#include "kxcore/AppPaths.h"

#include <QString>

namespace kxcore {

// The anonymous id of this installation: a random UUID kept in the support
// folder's "device.json" as {"id": "<lower-case uuid>"}. Nothing of the
// hardware or the user goes into it.
namespace DeviceIdentity {

// Reads the device file on every call and returns its id. A file that is
// missing, unreadable, not that JSON form, or holding an empty id is replaced
// (atomically, flushed) by one with a new id; if that cannot be written the
// failure is logged and the new id is kept for the rest of the run (every
// later call returns it).
QString anonymousID(const AppPaths& paths);

} // namespace DeviceIdentity

} // namespace kxcore
