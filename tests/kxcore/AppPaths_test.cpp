#include "kxcore/AppPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>

namespace fs = std::filesystem;
using kxcore::AppPaths;

namespace {

const QString bundleID = QStringLiteral("app.hushcoffer.Hushcoffer");
const QString displayName = QStringLiteral("Hushcoffer");

unsigned mode(const QString& path) {
    struct stat st {};
    if (stat(path.toUtf8().constData(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

class AppPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxpaths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = QString::fromUtf8(pattern);
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME"}) {
            const char* v = std::getenv(name);
            saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
        }
        setenv("HOME", (root_ + "/home").toUtf8().constData(), 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_STATE_HOME");
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        for (auto& [name, v] : saved_) {
            if (v)
                setenv(name.c_str(), v->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(root_.toStdString());
    }
    QString root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(AppPathsTest, WithABaseBothFoldersLiveInIt) {
    AppPaths paths(bundleID, displayName, root_ + "/base");
    EXPECT_EQ(paths.supportDir(), root_ + "/base/app.hushcoffer.Hushcoffer");
    EXPECT_EQ(paths.logsDir(), root_ + "/base/Hushcoffer");
    EXPECT_EQ(paths.deviceFile(), root_ + "/base/app.hushcoffer.Hushcoffer/device.json");
    EXPECT_EQ(paths.logFile(), root_ + "/base/Hushcoffer/app.log");
    EXPECT_EQ(mode(paths.supportDir()), 0700u);
    EXPECT_EQ(mode(paths.logsDir()), 0700u);
    EXPECT_EQ(mode(root_ + "/base"), 0700u); // a missing parent is made owner-only too
}

TEST_F(AppPathsTest, WithoutABaseTheXdgDefaultsBelowHomeAreUsed) {
    AppPaths paths(bundleID, displayName);
    EXPECT_EQ(paths.supportDir(), root_ + "/home/.local/share/app.hushcoffer.Hushcoffer");
    EXPECT_EQ(paths.logsDir(), root_ + "/home/.local/state/Hushcoffer");
    for (const QString& dir : {paths.supportDir(), paths.logsDir(), root_ + "/home/.local",
                               root_ + "/home/.local/share", root_ + "/home/.local/state"})
        EXPECT_EQ(mode(dir), 0700u) << dir.toStdString();
    EXPECT_EQ(AppPaths::configHome(), root_ + "/home/.config");
}

TEST_F(AppPathsTest, XdgVariablesMoveTheFoldersWhenAbsolute) {
    setenv("XDG_DATA_HOME", (root_ + "/data/").toUtf8().constData(), 1);
    setenv("XDG_STATE_HOME", (root_ + "/state").toUtf8().constData(), 1);
    setenv("XDG_CONFIG_HOME", "relative/config", 1); // relative: invalid, ignored
    AppPaths paths(bundleID, displayName);
    EXPECT_EQ(paths.supportDir(), root_ + "/data/app.hushcoffer.Hushcoffer");
    EXPECT_EQ(paths.logsDir(), root_ + "/state/Hushcoffer");
    EXPECT_TRUE(fs::is_directory(paths.supportDir().toStdString()));
    EXPECT_TRUE(fs::is_directory(paths.logsDir().toStdString()));
    EXPECT_EQ(AppPaths::configHome(), root_ + "/home/.config");
}

TEST_F(AppPathsTest, ExistingFoldersKeepTheirModeAndFailuresAreIgnored) {
    fs::create_directories((root_ + "/base/Hushcoffer").toStdString());
    chmod((root_ + "/base/Hushcoffer").toUtf8().constData(), 0750);
    AppPaths paths(bundleID, displayName, root_ + "/base");
    EXPECT_EQ(mode(paths.logsDir()), 0750u);

    std::ofstream(root_.toStdString() + "/file") << "x"; // a file where a folder should be
    AppPaths broken(bundleID, displayName, root_ + "/file");
    EXPECT_FALSE(fs::exists(broken.supportDir().toStdString()));
    EXPECT_EQ(broken.logFile(), root_ + "/file/Hushcoffer/app.log");
}

} // namespace
