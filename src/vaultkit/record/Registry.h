#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaultkit {

// The list of vaults the user knows about: the file "vaults.json" in the
// application's support folder, one compact JSON array of strings, each the
// path of a vault directory, in the user's order. Shared by the application's
// model and the command-line tool.
namespace Registry {

inline constexpr std::string_view fileName = "vaults.json";

// The paths in the file. Nothing when the file cannot be read or is not a
// JSON array; entries that are not strings (or are empty) are dropped.
// Escaped ("\/") and plain slashes are both accepted.
std::optional<std::vector<std::string>> read(const std::filesystem::path& file);
std::optional<std::vector<std::string>> parse(std::string_view json);

// The compact JSON text of the list. Paths that are not valid UTF-8 cannot be
// written as JSON text and are left out.
std::string encode(const std::vector<std::string>& paths);
// Writes encode(paths) atomically (temporary file, flush, rename), mode 0600,
// creating the folder (mode 0700) when missing. Throws std::system_error.
// A file already there that read() cannot read (damaged, not a list, not
// readable) is never overwritten: it is first renamed to
// "<file>.unreadable-<UTC time>", whose path is returned, so the paths in it
// can still be recovered by hand.
std::optional<std::filesystem::path> write(const std::filesystem::path& file,
                                           const std::vector<std::string>& paths);

// Whether a file is there that read() cannot read.
bool isUnreadable(const std::filesystem::path& file);

// The path as the registry compares it: absolute, "." and ".." resolved
// lexically, no trailing slash.
std::string standardized(const std::filesystem::path& path);

} // namespace Registry

} // namespace vaultkit
