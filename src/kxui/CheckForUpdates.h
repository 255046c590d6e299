#pragma once

#include "kxcore/HTTPFetching.h"
#include "kxcore/ProductInfo.h"
#include "kxui/UpdateAlerts.h"

#include <functional>
#include <memory>

namespace kxcore {
class Settings;
}

namespace kxui {

// Asks the web service once for the newest version of `product` and tells
// the user:
//   - a newer version: "Version %@ is available" with the notes and
//     "Download" (opens download_url in the browser when the reply has a
//     usable one) or "Cancel"; shown for silent checks too;
//   - otherwise, only when not silent: "You have the latest version" when
//     the service answered, else "Cannot check for updates...".
// A silent check that finds nothing newer, or fails, shows nothing.
//
// Returns at once; the alerts come when the reply is in. `alerts` and
// `fetcher` default to message boxes and Qt Network; `done` (optional) runs
// after the alert, if any, was answered.
void checkForUpdates(const kxcore::ProductInfo& product, bool silent,
                     std::shared_ptr<UpdateAlerts> alerts = nullptr,
                     std::shared_ptr<kxcore::HTTPFetching> fetcher = nullptr,
                     std::function<void()> done = {});

// The silent check at start, only while "kx.autoUpdate" is not false. It
// never blocks: the request runs while the application starts.
void checkForUpdatesAtStart(const kxcore::ProductInfo& product, const kxcore::Settings& settings);

} // namespace kxui
