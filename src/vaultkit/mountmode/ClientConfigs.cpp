#include "vaultkit/mountmode/ClientConfigs.h"

#include "vaultkit/process/WholeFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <system_error>

namespace vaultkit {

namespace fs = std::filesystem;

std::string_view ClientConfigs::trimmed(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

std::vector<fs::path> ClientConfigs::dropboxFolders(std::string_view infoJson) {
    std::vector<fs::path> out;
    const auto doc = nlohmann::json::parse(infoJson, nullptr, false);
    if (!doc.is_object()) return out;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        const auto& account = it.value();
        if (!account.is_object()) continue;
        const auto path = account.find("path");
        if (path != account.end() && path->is_string() && !path->get<std::string>().empty())
            out.emplace_back(path->get<std::string>());
    }
    return out;
}

std::vector<fs::path> ClientConfigs::accountFolders(std::string_view cfg) {
    std::vector<fs::path> out;
    eachLine(cfg, [&](std::string_view raw) {
        const auto line = trimmed(raw);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) return;
        const auto key = trimmed(line.substr(0, eq));
        // "0\Folders\1\localPath", "0\FoldersWithPlaceholders\2\localPath"
        if (!key.ends_with("\\localPath")) return;
        auto value = trimmed(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.empty()) return;
        std::string path(value);
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        out.emplace_back(path);
    });
    return out;
}

std::vector<fs::path> ClientConfigs::seafileWorktrees(std::string_view repoDb) {
    std::vector<fs::path> out;
    constexpr std::string_view key = "worktree/";
    for (std::size_t pos = repoDb.find(key); pos != std::string_view::npos; pos = repoDb.find(key, pos + 1)) {
        const std::size_t start = pos + key.size() - 1;
        std::size_t end = start;
        while (end < repoDb.size() && static_cast<unsigned char>(repoDb[end]) >= 0x20 && repoDb[end] != 0x7f)
            ++end;
        // What follows the value in the page may read as text too: the
        // longest part that is a folder is the library.
        std::string path(repoDb.substr(start, end - start));
        std::error_code ec;
        while (path.size() > 1 && !fs::is_directory(path, ec))
            path.pop_back();
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (path.size() > 1 && std::find(out.begin(), out.end(), fs::path(path)) == out.end()) out.emplace_back(path);
    }
    return out;
}

std::vector<fs::path> ClientConfigs::seafileLibraries(const fs::path& home) {
    if (home.empty()) return {};
    fs::path data = home / "Seafile" / ".seafile-data";
    if (const auto ini = WholeFile::read((home / ".ccnet" / "seafile.ini").c_str(), {.limit = 1 << 16})) {
        const auto line = trimmed(std::string_view(*ini).substr(0, ini->find('\n')));
        if (!line.empty() && line.front() == '/') data = fs::path(std::string(line));
    }
    const auto db = WholeFile::read((data / "repo.db").c_str(), {.limit = std::size_t{64} << 20});
    if (!db) return {};
    return seafileWorktrees(*db);
}

} // namespace vaultkit
