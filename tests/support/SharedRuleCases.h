#pragma once
// The cases of the rules the window and the command-line tool take from the
// vault library: a picked path, a target folder for a new vault, an import
// selection and the support folder. Each table runs through the library
// (tests/vaultkit/) and through both front ends (tests/app/, tests/cli/),
// which must give the library's answer for the same path, folder or
// selection.
#include "vaultkit/record/ConfigStore.h"
#include "vaultkit/record/SupportFolder.h"
#include "vaultkit/record/VaultConfig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace sharedrules {

namespace fs = std::filesystem;

inline void writeText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// ---------------------------------------------------------------- a picked path

// A vault "Docs" in `root` whose record opens (its directory, its visible
// folder, a README inside).
inline fs::path makeVault(const fs::path& root, const std::string& name) {
    const fs::path dir = root / ("." + name + ".hushcoffer");
    fs::create_directories(dir);
    fs::create_directories(root / name);
    vaultkit::VaultConfig config;
    config.id = vaultkit::Uuid::random();
    config.name = name;
    config.recoveryPublicKey.assign(32, 1);
    vaultkit::ConfigStore::save(config, dir / "vault.json", std::nullopt);
    writeText(dir / "README.txt", "x");
    return dir;
}

enum class Picked {
    opens,     // the vault "Docs"
    ownError,  // the open error of the vault directory it names
    notAVault, // no vault directory is there
};

struct PickedCase {
    const char* what;
    fs::path picked;
    Picked expected;
    fs::path vaultDir; // the directory that opens, or whose error is expected
};

// Makes in `root` the vault "Docs", a vault directory with a damaged record
// (".Broken.hushcoffer" and its visible folder "Broken"), one without any
// record (".Bare.hushcoffer") and a plain folder "Other"; returns the cases.
inline std::vector<PickedCase> pickedCases(const fs::path& root) {
    const fs::path docs = makeVault(root, "Docs");
    const fs::path broken = root / ".Broken.hushcoffer";
    writeText(broken / "vault.json", "{\"not\": \"a record\"");
    fs::create_directories(root / "Broken");
    const fs::path bare = root / ".Bare.hushcoffer";
    fs::create_directories(bare);
    fs::create_directories(root / "Other");
    return {
        {"the visible folder", root / "Docs", Picked::opens, docs},
        {"the vault directory", docs, Picked::opens, docs},
        {"a file in the vault directory", docs / "README.txt", Picked::opens, docs},
        {"with a trailing slash", root / "Docs/", Picked::opens, docs},
        {"through ..", root / "Other/../Docs", Picked::opens, docs},
        {"a damaged record's visible folder", root / "Broken", Picked::ownError, broken},
        {"a damaged record's vault directory", broken, Picked::ownError, broken},
        {"a vault directory without a record", bare, Picked::ownError, bare},
        {"a plain folder", root / "Other", Picked::notAVault, {}},
        {"nothing there", root / "Nowhere", Picked::notAVault, {}},
        {"a vault directory's name, nothing there", root / ".Gone.hushcoffer", Picked::notAVault, {}},
    };
}

// ---------------------------------------------------------------- a target folder

struct TargetCase {
    const char* what;
    std::function<void(const fs::path&)> make;
    bool usable;
};

inline std::vector<TargetCase> targetCases() {
    auto folderWith = [](std::vector<std::string> files) {
        return [files](const fs::path& t) {
            fs::create_directories(t);
            for (const auto& f : files)
                writeText(t / f, "x");
        };
    };
    auto linkTo = [](std::string destination) {
        return [destination](const fs::path& t) {
            fs::create_directories(t);
            fs::create_symlink(destination, t / "Open");
        };
    };
    return {
        {"missing", [](const fs::path&) {}, true},
        {"an empty folder", folderWith({}), true},
        {"the file managers' files", folderWith({".DS_Store", ".directory", "Icon\r", ".localized"}), true},
        {"a link to a desktop entry", linkTo("/usr/share/applications/app.hushcoffer.Hushcoffer.desktop"), true},
        {"a link to an application", linkTo("/Applications/Hushcoffer.app"), true},
        {"a file, not a folder (creation reports it)", [](const fs::path& t) { writeText(t, "x"); }, true},
        {"a document", folderWith({"notes.txt"}), false},
        {"a hidden file", folderWith({".hidden"}), false},
        {"\"Icon\" without the carriage return", folderWith({"Icon"}), false},
        {".DS_Store and a document", folderWith({".DS_Store", "a"}), false},
        {"a link elsewhere", linkTo("/tmp"), false},
        {"an empty sub-folder", [](const fs::path& t) { fs::create_directories(t / "sub"); }, false},
    };
}

// ---------------------------------------------------------------- an import selection

struct SelectionCase {
    const char* what;
    std::vector<fs::path> sources;
    // The name the refusal shows; nothing when the selection may be imported.
    std::optional<std::string> refused;
};

// For a vault with directory root/.V.hushcoffer and visible folder root/V.
inline std::vector<SelectionCase> selectionCases(const fs::path& root) {
    const fs::path dir = root / ".V.hushcoffer";
    const fs::path mount = root / "V";
    fs::create_directories(root / "Photos");
    writeText(root / "a.txt", "x");
    return {
        {"files beside the vault", {root / "a.txt", root / "Photos"}, std::nullopt},
        {"a folder whose name starts like the vault's", {root / "V2"}, std::nullopt},
        {"something inside the vault directory", {dir / "README.txt"}, std::nullopt},
        {"the visible folder", {mount}, "V"},
        {"the vault directory", {dir}, ".V.hushcoffer"},
        {"the folder holding the vault, after a file", {root / "a.txt", root}, root.filename().string()},
        {"the visible folder through ..", {root / "Photos/../V/"}, "V"},
        {"the root folder", {"/"}, ""},
    };
}

// ---------------------------------------------------------------- the support folder

struct SupportCase {
    const char* what;
    // The environment: HC_SUPPORT_DIR, XDG_DATA_HOME, HOME (nothing: unset).
    std::optional<std::string> supportDir, dataHome, home;
    fs::path expected;
};

inline fs::path accountHome() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir ? fs::path(pw->pw_dir) : fs::path("/");
}

inline std::vector<SupportCase> supportCases() {
    const std::string id = vaultkit::SupportFolder::appID;
    const fs::path cwd = fs::current_path();
    return {
        {"HC_SUPPORT_DIR", "/s/dir", "/d", "/home/u", "/s/dir"},
        {"HC_SUPPORT_DIR with a trailing slash and ..", "/s/x/../dir/", std::nullopt, "/home/u", "/s/dir"},
        {"HC_SUPPORT_DIR relative", "rel/dir", std::nullopt, "/home/u", cwd / "rel/dir"},
        {"HC_SUPPORT_DIR empty", "", "/d", "/home/u", fs::path("/d") / id},
        {"XDG_DATA_HOME", std::nullopt, "/d/", "/home/u", fs::path("/d") / id},
        {"XDG_DATA_HOME relative (ignored)", std::nullopt, "relative", "/home/u",
         fs::path("/home/u/.local/share") / id},
        {"HOME only", std::nullopt, std::nullopt, "/home/u", fs::path("/home/u/.local/share") / id},
        {"HOME empty: the account's", std::nullopt, std::nullopt, "", accountHome() / ".local/share" / id},
    };
}

// Sets the case's environment for its life; restores the one before.
class SupportEnvironment {
public:
    explicit SupportEnvironment(const SupportCase& c) {
        set("HC_SUPPORT_DIR", c.supportDir);
        set("XDG_DATA_HOME", c.dataHome);
        set("HOME", c.home);
    }
    ~SupportEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    SupportEnvironment(const SupportEnvironment&) = delete;
    SupportEnvironment& operator=(const SupportEnvironment&) = delete;

private:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace sharedrules
