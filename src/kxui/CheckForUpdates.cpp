#include "kxui/CheckForUpdates.h"

#include "kxcore/Log.h"
#include "kxcore/NetworkFetcher.h"
#include "kxcore/Settings.h"
#include "kxcore/UpdateChecker.h"
#include "kxui/KXOpen.h"
#include "kxui/kx.h"

#include <QUrl>

namespace kxui {

void checkForUpdates(const kxcore::ProductInfo& product, bool silent, std::shared_ptr<UpdateAlerts> alerts,
                     std::shared_ptr<kxcore::HTTPFetching> fetcher, std::function<void()> done) {
    if (!alerts) alerts = std::make_shared<MessageBoxUpdateAlerts>();
    if (!fetcher) fetcher = std::make_shared<kxcore::NetworkFetcher>();
    const QString running = product.version;
    kxcore::UpdateChecker::latest(
        product.id, *fetcher, kxcore::UpdateChecker::productsBase(product),
        // The callback keeps the fetcher alive until the reply is in.
        [silent, alerts, fetcher, done, running](std::optional<kxcore::UpdateInfo> info) {
            if (info && kxcore::UpdateChecker::isNewer(info->version, running)) {
                kxcore::Log::shared().info("update available: " + info->version.toStdString());
                if (alerts->offerUpdate(kx("update.available", info->version),
                                        info->notes.value_or(QString()))) {
                    QUrl download(info->downloadURL.value_or(QString()), QUrl::StrictMode);
                    if (!download.isEmpty() && download.isValid() && !download.isRelative())
                        KXOpen::url(download);
                }
            } else if (!silent) {
                alerts->inform(info ? kx("update.uptodate", running) : kx("update.failed"));
            }
            if (done) done();
        });
}

void checkForUpdatesAtStart(const kxcore::ProductInfo& product, const kxcore::Settings& settings) {
    if (!settings.autoUpdate()) return;
    checkForUpdates(product, true);
}

} // namespace kxui
