#pragma once

#include "kxcore/ProductInfo.h"

#include <QPixmap>

namespace kxui {

// The product's icon: the application's window icon when it has one, else a
// rounded square in the product's colour (its iconColor) with a white
// padlock.
namespace ProductIcon {

QPixmap pixmap(const kxcore::ProductInfo& product, int size, qreal devicePixelRatio = 1.0);

} // namespace ProductIcon

} // namespace kxui
