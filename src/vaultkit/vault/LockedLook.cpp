#include "vaultkit/vault/LockedLook.h"

#include "vaultkit/process/Exec.h"
#include "vaultkit/record/ConfigStore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vaultkit {

namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(space) - first + 1));
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Writes `text` to `file` the way the vault record is written (temporary
// file, flush, rename, flush of the folder).
std::optional<std::string> writeReplacing(const fs::path& file, const std::string& text) {
    try {
        ConfigStore::writeAtomically(file, text, 0644);
        return std::nullopt;
    } catch (const std::system_error& e) {
        return std::string(e.what());
    }
}

void runGio(const std::vector<std::string>& args, const std::string& program, double limit,
            std::vector<std::string>& problems) {
    if (!isExecutableFile(program)) {
        problems.push_back(program +
                           " is missing (install gvfs and libglib2.0-bin for GNOME Files' folder icons)");
        return;
    }
    const auto result = Exec::runSync(program, args, std::nullopt, limit);
    if (result.status != 0)
        problems.push_back("gio " + args.at(0) + " " + args.at(1) + ": " + trimmed(result.stderrText));
}

// True for a link whose destination is a desktop entry or an application
// bundle: what a launcher link of this or an earlier run looks like.
bool isLauncherLink(const fs::directory_entry& entry) {
    std::error_code ec;
    if (!entry.is_symlink(ec)) return false;
    const std::string target = fs::read_symlink(entry.path(), ec).string();
    return !ec && (target.ends_with(".desktop") || target.ends_with(".app"));
}

void placeLauncher(const fs::path& folder, const LockedLook::Settings& settings,
                   std::vector<std::string>& problems) {
    const std::string& name = settings.launcherName;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        problems.push_back("unusable launcher name \"" + name + "\"");
        return;
    }
    std::error_code ec;
    std::vector<fs::path> stale;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (isLauncherLink(*it)) stale.push_back(it->path());
    for (const auto& link : stale)
        fs::remove(link, ec);

    const fs::path link = folder / name;
    fs::create_symlink(settings.desktopFile, link, ec);
    if (ec) problems.push_back(link.string() + ": " + ec.message());
}

// The Exec= value of the [Desktop Entry] group of a desktop file.
std::string desktopExec(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        const std::string t = trimmed(line);
        if (t.starts_with('[')) {
            inEntry = t == "[Desktop Entry]";
        } else if (inEntry && t.starts_with("Exec")) {
            const auto eq = t.find('=');
            if (eq != std::string::npos && eq > 0 && trimmed(std::string_view(t).substr(0, eq)) == "Exec")
                return trimmed(std::string_view(t).substr(eq + 1));
        }
    }
    return {};
}

std::string canonicalOrEmpty(const std::string& path) {
    std::error_code ec;
    const auto real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

std::string resolveProgram(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return canonicalOrEmpty(program);
    const char* env = std::getenv("PATH");
    const std::string path = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= path.size()) {
        auto end = path.find(':', pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos) {
            const std::string candidate = path.substr(pos, end - pos) + "/" + program;
            if (isExecutableFile(candidate)) return canonicalOrEmpty(candidate);
        }
        pos = end + 1;
    }
    return {};
}

std::vector<std::string> dataDirectories() {
    std::vector<std::string> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && home[0] == '/') {
        dirs.emplace_back(home);
    } else if (const char* h = std::getenv("HOME"); h && *h) {
        dirs.push_back(std::string(h) + "/.local/share");
    }
    const char* env = std::getenv("XDG_DATA_DIRS");
    const std::string system = env && *env ? env : "/usr/local/share:/usr/share";
    std::size_t pos = 0;
    while (pos <= system.size()) {
        auto end = system.find(':', pos);
        if (end == std::string::npos) end = system.size();
        if (end > pos && system[pos] == '/') dirs.push_back(system.substr(pos, end - pos));
        pos = end + 1;
    }
    return dirs;
}

} // namespace

std::vector<std::string> LockedLook::applyLocked(const fs::path& folder, const Settings& settings) {
    std::vector<std::string> problems;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT) problems.push_back(folder.string() + ": " + std::strerror(errno));
        return problems; // a removed folder is left alone
    }
    if (!S_ISDIR(st.st_mode)) {
        // Never change the mode of a file or of what a link points to.
        problems.push_back(folder.string() + " is not a folder");
        return problems;
    }
    if (::chmod(folder.c_str(), 0755) != 0) {
        problems.push_back(folder.string() + ": " + std::strerror(errno));
        return problems;
    }
    struct ReadOnlyAgain {
        const fs::path& folder;
        ~ReadOnlyAgain() { ::chmod(folder.c_str(), 0555); }
    } readOnlyAgain{folder};

    if (!settings.iconFile.empty()) {
        // Dolphin: <folder>/.directory
        const std::string text = "[Desktop Entry]\nIcon=" + escapeDesktopValue(settings.iconFile) + "\n";
        if (auto problem = writeReplacing(folder / directoryFileName, text)) problems.push_back(*problem);
        // GNOME Files and other GIO file managers: the custom-icon metadata.
        runGio({"set", "-t", "string", folder.string(), customIconAttribute, fileUri(settings.iconFile)},
               settings.gioProgram, settings.gioTimeLimit, problems);
    }
    if (!settings.desktopFile.empty()) placeLauncher(folder, settings, problems);
    return problems;
}

std::vector<std::string> LockedLook::applyUnlocked(const fs::path& folder, const std::string& gioProgram,
                                                   double gioTimeLimit) {
    std::vector<std::string> problems;
    runGio({"set", "-t", "unset", folder.string(), customIconAttribute}, gioProgram, gioTimeLimit, problems);
    return problems;
}

std::string LockedLook::escapeDesktopValue(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == ' ' && i == 0)
            out += "\\s";
        else
            out += c;
    }
    return out;
}

std::string LockedLook::fileUri(std::string_view path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           std::strchr("-._~/!$&'()*+,;=:@", c) != nullptr;
        if (plain && c != 0) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string LockedLook::execProgram(std::string_view exec) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '\\' && i + 1 < exec.size()) {
                word += exec[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    std::size_t i = 0;
    if (i < words.size() && fs::path(words[i]).filename() == "env") {
        ++i;
        while (i < words.size() && words[i].find('=') != std::string::npos)
            ++i;
    }
    return i < words.size() ? words[i] : std::string();
}

std::optional<std::string> LockedLook::installedDesktopFile(const std::string& program) {
    for (const auto& dir : dataDirectories()) {
        const std::string file = dir + "/applications/" + desktopFileName;
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // The first entry found is the one the desktop starts: it must start
        // `program`, or that program is not the installed application.
        const std::string found = resolveProgram(execProgram(desktopExec(file)));
        if (!found.empty() && found == program) return fs::absolute(file).lexically_normal().string();
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace vaultkit
