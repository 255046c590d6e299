#pragma once

#include "kxstrings/KXStrings.h"

#include <QString>

#include <string_view>

// The text the user reads for `key`, in the interface language, formatted
// with `args` when there are any ("%@" a text, "%d" an integer; see
// KXFormat). A key without a text in any table comes back as the key itself.
//
//     kx("err.wrongPassword")
//     kx("err.busy", names)            // names: QString or std::string
//     kx("autolock.minutes", 15)
template <class... Args> QString kx(std::string_view key, const Args&... args) {
    return QString::fromStdString(KXStrings::text(key, args...));
}
