#include "vaultkit/record/Registry.h"

#include "vaultkit/record/ConfigStore.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vaultkit::Registry {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool isUtf8(std::string_view s) {
    try {
        (void)json(std::string(s)).dump(-1, ' ', false, json::error_handler_t::strict);
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

} // namespace

std::optional<std::vector<std::string>> parse(std::string_view text) {
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception&) {
        return std::nullopt;
    }
    if (!root.is_array()) return std::nullopt;
    std::vector<std::string> paths;
    for (const json& item : root) {
        if (!item.is_string()) continue;
        auto path = item.get<std::string>();
        if (path.empty()) continue;
        paths.push_back(std::move(path));
    }
    return paths;
}

std::optional<std::vector<std::string>> read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return parse(bytes);
}

std::string encode(const std::vector<std::string>& paths) {
    json list = json::array();
    for (const auto& p : paths)
        if (isUtf8(p)) list.push_back(p);
    return list.dump();
}

bool isUnreadable(const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return false;
    return !read(file).has_value();
}

std::optional<fs::path> write(const fs::path& file, const std::vector<std::string>& paths) {
    const std::string bytes = encode(paths);
    if (file.has_parent_path()) {
        try {
            ConfigStore::createPrivateDirectories(file.parent_path());
        } catch (const std::system_error&) {
            // writeAtomically below reports what is wrong with the folder.
        }
    }
    std::optional<fs::path> setAside;
    if (isUnreadable(file)) setAside = ConfigStore::setAside(file);
    ConfigStore::writeAtomically(file, bytes, 0600);
    return setAside;
}

std::string standardized(const fs::path& path) {
    fs::path p = fs::absolute(path).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

} // namespace vaultkit::Registry
