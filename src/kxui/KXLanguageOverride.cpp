#include "kxui/KXLanguageOverride.h"

#include "kxcore/Settings.h"
#include "kxstrings/KXStrings.h"

namespace KXLanguage {

std::optional<std::string> override(const kxcore::Settings& settings) {
    auto list = settings.stringListValue(QString::fromLatin1(kxcore::Settings::languagesKey));
    if (!list || list->isEmpty()) return std::nullopt;
    std::string first = list->first().toStdString();
    if (!isListed(first)) return std::nullopt;
    return first;
}

std::optional<std::string> override() {
    kxcore::Settings settings;
    return override(settings);
}

void setOverride(const std::optional<std::string>& code, kxcore::Settings& settings) {
    const QString key = QString::fromLatin1(kxcore::Settings::languagesKey);
    if (code && !code->empty())
        settings.setStringList(key, QStringList{QString::fromStdString(*code)});
    else
        settings.remove(key);
}

void setOverride(const std::optional<std::string>& code) {
    kxcore::Settings settings;
    setOverride(code, settings);
}

std::string applyAtStart(const kxcore::Settings& settings) {
    std::string code = atStart(override(settings));
    KXStrings::setLanguage(code);
    return code;
}

std::string applyAtStart() {
    kxcore::Settings settings;
    return applyAtStart(settings);
}

} // namespace KXLanguage
