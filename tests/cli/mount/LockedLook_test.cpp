// hushcoffer-cli lock gives the vault's folder the look the application gives
// it (read-only, the icon the application drew, the launcher link), and
// unlock takes the icon off the open volume. gio runs against a private
// session bus (the GIO metadata service keeps the icon).
#include "support/CliRunner.h"
#include "support/TestSupport.h"

#include "vaultkit/process/Exec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

namespace fs = std::filesystem;
using vaultkit::Exec::runSync;

namespace {

using clitest::CliRun;
using clitest::cliPath;

const std::string kPassword = "plain old password";

std::optional<std::string> gioCustomIcon(const fs::path& folder) {
    const auto r =
        runSync("/usr/bin/gio", {"info", "-a", "metadata::custom-icon", folder.string()}, std::nullopt, 20);
    if (r.status != 0) throw std::runtime_error("gio info failed: " + r.stderrText);
    const std::string out = r.stdoutText();
    const std::string key = "metadata::custom-icon: ";
    const auto pos = out.find(key);
    if (pos == std::string::npos) return std::nullopt;
    const auto end = out.find('\n', pos);
    return out.substr(pos + key.size(),
                      end == std::string::npos ? std::string::npos : end - pos - key.size());
}

// "name -> target" of every link in `folder`.
std::vector<std::string> links(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_symlink())
            out.push_back(e.path().filename().string() + " -> " + fs::read_symlink(e.path()).string());
    std::sort(out.begin(), out.end());
    return out;
}

int modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class CliLockedLook : public ::testing::Test {
protected:
    void SetUp() override {
        // A private session bus for gio and the metadata service it starts.
        const auto bus =
            runSync("/usr/bin/dbus-daemon", {"--session", "--fork", "--print-address=1", "--print-pid=1"},
                    std::nullopt, 20);
        ASSERT_EQ(bus.status, 0) << bus.stderrText;
        const std::string text = bus.stdoutText();
        const auto nl = text.find('\n');
        ASSERT_NE(nl, std::string::npos) << text;
        busPid_ = std::stoi(text.substr(nl + 1));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", text.substr(0, nl).c_str(), 1);

        // The tool beside a stand-in of the application, as installed.
        fs::create_directories(bin);
        fs::copy_file(cliPath(), bin / "hushcoffer-cli");
        vaulttest::writeFile(bin / "hushcoffer", "#!/bin/sh\nexit 0\n");
        fs::permissions(bin / "hushcoffer", fs::perms::owner_all);
        ::setenv("XDG_DATA_HOME", (tmp / "share").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", (tmp / "no system share").c_str(), 1);
        ::setenv("HC_SUPPORT_DIR", support.c_str(), 1);
        fs::create_directories(support);
    }
    void TearDown() override {
        for (const char* name :
             {"DBUS_SESSION_BUS_ADDRESS", "XDG_DATA_HOME", "XDG_DATA_DIRS", "HC_SUPPORT_DIR"})
            ::unsetenv(name);
        if (busPid_ > 0) ::kill(busPid_, SIGTERM);
    }

    CliRun cli(const std::vector<std::string>& args, std::optional<std::string> input = std::nullopt) {
        return clitest::runCli((bin / "hushcoffer-cli").string(), args, input);
    }

    vaulttest::TempDir tmp{"hc-cli-look"};
    const fs::path bin = tmp / "bin";
    const fs::path support = tmp / "support folder";
    const fs::path icon = support / "locked-folder.png";
    const fs::path desktopFile = tmp / "share" / "applications" / "app.hushcoffer.Hushcoffer.desktop";
    pid_t busPid_ = -1;
};

} // namespace

TEST_F(CliLockedLook, LockGivesTheApplicationsLookAndUnlockTakesTheIconOff) {
    struct Case {
        const char* name;
        bool iconDrawn;            // the application drew its icon into the support folder
        std::string installedExec; // the installed desktop entry's Exec= ("" for none)
        bool link;
    };
    const Case cases[] = {
        {"IconAndInstalled", true, "\"" + (bin / "hushcoffer").string() + "\" %U", true},
        {"NeverRunNotInstalled", false, "", false},
        {"EntryStartsAnotherProgram", true, "/bin/true %U", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(icon);
        fs::remove(desktopFile);
        if (c.iconDrawn) vaulttest::writeFile(icon, "\x89PNG stand-in");
        if (!c.installedExec.empty()) {
            fs::create_directories(desktopFile.parent_path());
            vaulttest::writeFile(desktopFile, "[Desktop Entry]\nType=Application\nName=Hushcoffer\nExec=" +
                                                  c.installedExec + "\n");
        }
        const fs::path parent = tmp / c.name;
        fs::create_directory(parent);
        const fs::path folder = parent / "Safe";
        auto r = cli({"create", "--password-stdin", parent.string(), "Safe"}, kPassword + "\n");
        ASSERT_EQ(r.status, 0) << r.err;

        // Locked twice: the second lock changes nothing (one link, one file).
        for (int round = 0; round < 2; ++round) {
            r = cli({"lock", folder.string()});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(modeOf(folder), 0555);
            if (c.iconDrawn) {
                EXPECT_EQ(vaulttest::readFile(folder / ".directory"),
                          "[Desktop Entry]\nIcon=" + icon.string() + "\n");
                // The space of "support folder" is percent-encoded in the URI.
                std::string uri = "file://" + icon.string();
                uri.replace(uri.find(' '), 1, "%20");
                EXPECT_EQ(gioCustomIcon(folder), std::optional<std::string>(uri));
            } else {
                EXPECT_FALSE(fs::exists(folder / ".directory"));
                EXPECT_EQ(gioCustomIcon(folder), std::nullopt);
            }
            EXPECT_EQ(links(folder),
                      c.link ? std::vector<std::string>{"Unlock with Hushcoffer -> " + desktopFile.string()}
                             : std::vector<std::string>{});
            if (round == 0) {
                // The look does not keep the vault from opening, and the open
                // volume does not show the locked icon.
                r = cli({"unlock", "--password-stdin", folder.string()}, kPassword + "\n");
                ASSERT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(r.err, "");
                EXPECT_EQ(gioCustomIcon(folder), std::nullopt);
                EXPECT_FALSE(fs::exists(folder / ".directory")) << "the look files stay under the volume";
            }
        }
    }
}
