#include "vaultkit/diskimage/MountTable.h"

#include "vaultkit/process/WholeFile.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace vaultkit {

namespace {

template <typename T> bool parseNumber(std::string_view s, T& out) {
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// Fields are separated by single spaces; runs of spaces are tolerated (the
// kernel escapes every space inside a field).
std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        if (pos >= line.size()) break;
        std::size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

bool parseLine(std::string_view line, MountEntry& e) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto f = splitFields(line);
    if (f.size() < 7) return false;
    if (!parseNumber(f[0], e.mountId) || !parseNumber(f[1], e.parentId)) return false;
    const auto colon = f[2].find(':');
    if (colon == std::string_view::npos || !parseNumber(f[2].substr(0, colon), e.major) ||
        !parseNumber(f[2].substr(colon + 1), e.minor))
        return false;
    // Optional fields ("shared:1", "master:2", ...) run up to a lone "-".
    std::size_t sep = 6;
    while (sep < f.size() && f[sep] != "-")
        ++sep;
    if (sep + 1 >= f.size()) return false; // no separator, or no file-system type after it
    e.root = MountTable::unescape(f[3]);
    e.mountPoint = MountTable::unescape(f[4]);
    e.options = MountTable::unescape(f[5]);
    e.fsType = MountTable::unescape(f[sep + 1]);
    e.source = sep + 2 < f.size() ? MountTable::unescape(f[sep + 2]) : std::string();
    e.superOptions = sep + 3 < f.size() ? MountTable::unescape(f[sep + 3]) : std::string();
    return !e.mountPoint.empty() && !e.fsType.empty();
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

} // namespace

std::string MountTable::unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
            isOctal(field[i + 3]) && field[i + 1] <= '3') {
            const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            out.push_back(static_cast<char>(static_cast<unsigned char>(value)));
            i += 3;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<MountEntry> MountTable::parse(std::string_view text) {
    std::vector<MountEntry> entries;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        MountEntry e;
        if (parseLine(text.substr(pos, end - pos), e)) entries.push_back(std::move(e));
        pos = end + 1;
    }
    return entries;
}

std::vector<MountEntry> MountTable::read(const char* path) {
    // The kernel produces the table afresh on each read from offset 0 on; one
    // pass of reads to end of file gives one consistent view per call.
    const auto text = WholeFile::read(path);
    if (!text) return {};
    return parse(*text);
}

} // namespace vaultkit
