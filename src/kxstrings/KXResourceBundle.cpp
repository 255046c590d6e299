#include "kxstrings/KXResourceBundle.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#ifndef HC_INSTALL_DATADIR
#define HC_INSTALL_DATADIR "/usr/local/share/hushcoffer"
#endif

namespace fs = std::filesystem;

using Table = std::map<std::string, std::string, std::less<>>;

struct KXResourceBundle::State {
    std::string name;
    fs::path dir;
    std::mutex mutex;
    std::map<std::string, Table, std::less<>> tables; // "<localisation>/<table>" -> texts
};

const std::string& KXResourceBundle::name() const noexcept {
    return state_->name;
}
const fs::path& KXResourceBundle::dir() const noexcept {
    return state_->dir;
}

std::vector<fs::path> KXResourceBundle::searchDirectories() {
    std::vector<fs::path> dirs;
    if (const char* env = std::getenv("HC_RESOURCES_DIR"); env && *env) {
        dirs.emplace_back(env);
        return dirs;
    }
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && exe.has_parent_path()) {
        dirs.push_back(exe.parent_path());
        dirs.push_back(exe.parent_path().parent_path() / "share" / "hushcoffer");
    }
    dirs.emplace_back(HC_INSTALL_DATADIR);
    return dirs;
}

std::optional<KXResourceBundle> KXResourceBundle::find(std::string_view name,
                                                       const std::vector<fs::path>& dirs) {
    for (const fs::path& d : dirs) {
        fs::path candidate = d / (std::string(name) + ".bundle");
        std::error_code ec;
        if (fs::is_directory(candidate, ec)) {
            auto state = std::make_shared<State>();
            state->name = std::string(name);
            state->dir = candidate;
            return KXResourceBundle(std::move(state));
        }
    }
    return std::nullopt;
}

KXResourceBundle KXResourceBundle::require(std::string_view name) {
    if (auto bundle = find(name)) return *bundle;
    std::fprintf(stderr, "unable to find bundle named %.*s\n", static_cast<int>(name.size()), name.data());
    std::fflush(stderr);
    std::_Exit(1);
}

std::vector<std::string> KXResourceBundle::languages() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(state_->dir, ec)) {
        fs::path p = entry.path();
        if (p.extension() == ".lproj" && entry.is_directory(ec)) out.push_back(p.stem().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<Table> KXResourceBundle::readTable(const fs::path& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open " + file.string();
        return std::nullopt;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string problem;
    auto table = parseTable(buffer.str(), &problem);
    if (!table && error) *error = file.string() + " " + problem;
    return table;
}

std::optional<Table> KXResourceBundle::parseTable(std::string_view text, std::string* error) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        if (error) *error = "is not a JSON object";
        return std::nullopt;
    }
    Table table;
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (it.value().is_string()) table.emplace(it.key(), it.value().get<std::string>());
    }
    return table;
}

std::string KXResourceBundle::localizedString(std::string_view key, std::string_view defaultValue,
                                              std::string_view table, std::string_view language) const {
    std::error_code ec;
    std::string localisation(language);
    if (localisation.empty() || !fs::is_directory(state_->dir / (localisation + ".lproj"), ec))
        localisation = "en";
    std::string cacheKey = localisation + "/" + std::string(table);

    std::lock_guard lock(state_->mutex);
    auto it = state_->tables.find(cacheKey);
    if (it == state_->tables.end()) {
        fs::path file = state_->dir / (localisation + ".lproj") / (std::string(table) + ".json");
        std::string error;
        auto loaded = readTable(file, &error);
        if (!loaded && fs::exists(file, ec))
            std::fprintf(stderr, "hushcoffer: texts unreadable: %s\n", error.c_str());
        it = state_->tables.emplace(cacheKey, loaded ? std::move(*loaded) : Table{}).first;
    }
    auto text = it->second.find(key);
    return text == it->second.end() ? std::string(defaultValue) : text->second;
}
