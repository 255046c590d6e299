#include "kxstrings/KXLanguage.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

} // namespace

namespace KXLanguage {

bool isListed(std::string_view code) {
    return std::any_of(all.begin(), all.end(), [&](const Language& l) { return l.code == code; });
}

std::optional<std::string> fromLocale(std::string_view locale) {
    // Drop ".codeset" and "@modifier".
    std::size_t cut = locale.find_first_of(".@");
    std::string_view name = locale.substr(0, cut);
    if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
    // Split into subtags at "_" or "-".
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '_' || name[i] == '-') {
            parts.push_back(lower(name.substr(start, i - start)));
            start = i + 1;
        }
    }
    const std::string& language = parts[0];
    if (language == "zh") {
        for (std::size_t i = 1; i < parts.size(); ++i) {
            if (parts[i] == "hant") return "zh-Hant";
            if (parts[i] == "hans") return "zh-Hans";
        }
        for (std::size_t i = 1; i < parts.size(); ++i) {
            if (parts[i] == "tw" || parts[i] == "hk" || parts[i] == "mo") return "zh-Hant";
        }
        return "zh-Hans";
    }
    for (const Language& l : all) {
        if (l.code == language) return std::string(l.code);
    }
    return std::nullopt;
}

std::optional<std::string> fromEnvironment() {
    std::string messages;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        messages = envValue(name);
        if (!messages.empty()) break;
    }
    std::string_view base = std::string_view(messages).substr(0, messages.find_first_of(".@"));
    if (base.empty() || base == "C" || base == "POSIX") return std::nullopt;
    std::string list = envValue("LANGUAGE");
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) {
            if (auto code = fromLocale(std::string_view(list).substr(start, end - start))) return code;
        }
        start = end + 1;
    }
    return fromLocale(messages);
}

std::string atStart(const std::optional<std::string>& override) {
    if (override && isListed(*override)) return *override;
    if (auto code = fromEnvironment()) return *code;
    return std::string(development);
}

} // namespace KXLanguage
