#pragma once

#include <QString>

#include <string>

class QTranslator;

// Qt's own texts (the file chooser, the print dialog, standard buttons) in
// the interface language: Qt's catalogue for that language (qtbase_*.qm,
// Debian's qt6-translations-l10n) installed into the application once at
// start. A language Qt has no catalogue for keeps Qt's English.
namespace KXQtTranslations {

// Qt's name for one of KXLanguage's codes: "zh-Hans" -> "zh_CN", "zh-Hant"
// -> "zh_TW", "pt" -> "pt_BR" (this product's Portuguese is Brazil's), the
// others as they are.
QString qtLocaleName(const std::string& code);

// Loads Qt's catalogue for `code` from `folder` (by default Qt's
// translations folder) and installs it into the running application,
// replacing one installed before. Returns the installed translator (owned by
// the application), or none when there is no catalogue for the language or
// no application.
QTranslator* install(const std::string& code, const QString& folder = {});

} // namespace KXQtTranslations
