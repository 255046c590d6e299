#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A resource bundle of localised texts: a folder "<name>.bundle" holding one
// folder per language ("en.lproj", "zh-Hans.lproj", ...), each with one file
// per table ("Product.json", "Common.json"): a JSON object of key to text.
// The format is described in resources/README.md.
//
// Tables are read on first use and kept; a bundle may be used from any
// thread.
class KXResourceBundle {
public:
    // Where bundles are looked for, in order: the folder of the running
    // executable (the build tree), "../share/hushcoffer" beside that folder
    // (a relocated installation), and the installed data folder
    // (<prefix>/share/hushcoffer). When the environment variable
    // HC_RESOURCES_DIR is set, only the folder it names is searched (tests).
    static std::vector<std::filesystem::path> searchDirectories();

    // The bundle "<name>.bundle" in the first of `dirs` that holds it.
    static std::optional<KXResourceBundle> find(std::string_view name,
                                                const std::vector<std::filesystem::path>& dirs);
    static std::optional<KXResourceBundle> find(std::string_view name) {
        return find(name, searchDirectories());
    }
    // As find(name), but a missing bundle ends the program with the message
    // "unable to find bundle named <name>" on standard error (exit status 1):
    // without its texts the program cannot show anything sensible.
    static KXResourceBundle require(std::string_view name);

    const std::string& name() const noexcept;
    const std::filesystem::path& dir() const noexcept;

    // The languages the bundle holds (the names of its ".lproj" folders).
    std::vector<std::string> languages() const;

    // The text of `key` in `table` for `language`, or `defaultValue` when the
    // table has no such key. The bundle's localisation for a language is that
    // language's folder when it exists, else English; a table that cannot be
    // read counts as empty (and is reported once on standard error).
    std::string localizedString(std::string_view key, std::string_view defaultValue, std::string_view table,
                                std::string_view language) const;

    // Reads one table file. On failure returns none and sets `error`.
    static std::optional<std::map<std::string, std::string, std::less<>>>
    readTable(const std::filesystem::path& file, std::string* error = nullptr);
    // Parses the text of one table file: a JSON object; members whose value
    // is not a string are skipped. On failure returns none and sets `error`.
    static std::optional<std::map<std::string, std::string, std::less<>>>
    parseTable(std::string_view text, std::string* error = nullptr);

private:
    struct State;
    explicit KXResourceBundle(std::shared_ptr<State> state)
        : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};
