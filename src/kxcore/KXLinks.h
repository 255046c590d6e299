#pragma once

#include "kxcore/ProductInfo.h"

#include <QString>
#include <QUrl>

namespace kxcore {

// Links to the maker's web site. Each carries two query items, in this
// order: "utm_source" = the product's id and "utm_campaign" = where the link
// was followed from ("about", "about_name", "settings_updates",
// "settings_privacy").
namespace KXLinks {

// The product's home page.
QUrl homepage(const ProductInfo& product, const QString& campaign);
// A page of the maker's web site ("/privacy.html", "/terms.html").
QUrl page(const ProductInfo& product, const QString& path, const QString& campaign);
// `url` with the two query items added to those it already has.
QUrl withCampaign(const QUrl& url, const QString& source, const QString& campaign);

inline constexpr const char* privacyPage = "/privacy.html";
inline constexpr const char* termsPage = "/terms.html";

} // namespace KXLinks

} // namespace kxcore
