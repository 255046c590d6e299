#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

namespace vaultkit {

// What the sync clients' own configuration files say about the folders they
// carry, read the way each client writes them; and the two small text tools
// these readers and the exclusions share.
class ClientConfigs {
public:
    ClientConfigs() = delete;

    // The folders named in the text of Dropbox's info.json ("path" values).
    static std::vector<std::filesystem::path> dropboxFolders(std::string_view infoJson);
    // The folders named by "localPath=" lines of a Nextcloud or ownCloud
    // client's configuration (nextcloud.cfg, owncloud.cfg).
    static std::vector<std::filesystem::path> accountFolders(std::string_view cfg);
    // The Seafile client's libraries on this computer, wherever they are:
    // the "worktree" values in its database (repo.db in the data folder that
    // ~/.ccnet/seafile.ini names, or ~/Seafile/.seafile-data). The database
    // is read as bytes: a value runs from its '/' to the first control byte,
    // cut back to the longest part that is a folder here.
    static std::vector<std::filesystem::path> seafileLibraries(const std::filesystem::path& home);
    static std::vector<std::filesystem::path> seafileWorktrees(std::string_view repoDb);

    // The text without blanks and carriage returns at its ends.
    static std::string_view trimmed(std::string_view s);
    // Calls f(line) for each line of text (without its line break).
    template <class F>
    static void eachLine(std::string_view text, F&& f);
};

template <class F>
void ClientConfigs::eachLine(std::string_view text, F&& f) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        f(text.substr(pos, end - pos));
        pos = end + 1;
    }
}

} // namespace vaultkit
