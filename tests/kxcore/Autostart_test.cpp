#include "kxcore/Autostart.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using kxcore::Autostart;

namespace {

// XDG_CONFIG_HOME points into a temporary folder for each test.
class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        if (const char* v = std::getenv("XDG_CONFIG_HOME")) saved_ = v;
        config_ = dir_.path() + QStringLiteral("/config");
        setenv("XDG_CONFIG_HOME", config_.toUtf8().constData(), 1);
    }
    void TearDown() override {
        if (saved_)
            setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }
    static QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString& path, const QByteArray& text) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    Autostart autostart_{QStringLiteral("app.hushcoffer.Hushcoffer"),
                         QStringLiteral("Hushcoffer"),
                         QStringLiteral("/usr/bin/hushcoffer"),
                         {QStringLiteral("--tray")}};
    QTemporaryDir dir_;
    QString config_;
    std::optional<std::string> saved_;
};

TEST_F(AutostartTest, OnWritesTheEntryOffRemovesIt) {
    const QString path = config_ + QStringLiteral("/autostart/app.hushcoffer.Hushcoffer.desktop");
    EXPECT_EQ(autostart_.entryPath(), path);
    EXPECT_FALSE(autostart_.isEnabled());
    EXPECT_TRUE(autostart_.setEnabled(false)) << "switching off what is off is no error";

    QString error;
    ASSERT_TRUE(autostart_.setEnabled(true, &error)) << error.toStdString();
    EXPECT_TRUE(autostart_.isEnabled());
    const QByteArray text = read(path);
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_TRUE(text.contains("\nExec=/usr/bin/hushcoffer --tray\n"));
    EXPECT_TRUE(text.contains("\nName=Hushcoffer\n"));

    ASSERT_TRUE(autostart_.setEnabled(true)) << "switching on twice keeps one entry";
    EXPECT_EQ(QDir(config_ + QStringLiteral("/autostart")).entryList(QDir::Files).size(), 1);

    ASSERT_TRUE(autostart_.setEnabled(false));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(autostart_.isEnabled());
}

// An entry the desktop's start-up settings switched off counts as off, and
// switching on from the application replaces it with an active one.
TEST_F(AutostartTest, EntriesSwitchedOffByTheDesktop) {
    struct Case {
        const char* text;
        bool active;
    };
    const Case cases[] = {
        {"[Desktop Entry]\nType=Application\nExec=x\n", true},
        {"[Desktop Entry]\nHidden=true\n", false},
        {"[Desktop Entry]\nHidden = true\n", false},
        {"[Desktop Entry]\nHidden=false\n", true},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n", true},
        {"# Hidden=true\n[Desktop Entry]\nExec=x\n", true},
        {"[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Autostart::entryIsActive(c.text), c.active) << c.text;

    write(autostart_.entryPath(), "[Desktop Entry]\nType=Application\nExec=/old/hushcoffer\nHidden=true\n");
    EXPECT_FALSE(autostart_.isEnabled());
    ASSERT_TRUE(autostart_.setEnabled(true));
    EXPECT_TRUE(autostart_.isEnabled());
    EXPECT_FALSE(read(autostart_.entryPath()).contains("Hidden"));
}

// Exec= quoting: the desktop starts exactly the program and arguments given,
// whatever characters the path holds.
TEST(AutostartExec, QuotesReservedCharacters) {
    struct Case {
        QString program;
        QStringList arguments;
        QString exec;
    };
    const Case cases[] = {
        {QStringLiteral("/usr/bin/hushcoffer"),
         {QStringLiteral("--tray")},
         QStringLiteral("/usr/bin/hushcoffer --tray")},
        {QStringLiteral("/home/a b/hushcoffer"), {}, QStringLiteral("\"/home/a b/hushcoffer\"")},
        {QStringLiteral("/opt/$HOME/x"), {}, QStringLiteral("\"/opt/\\\\$HOME/x\"")},
        {QStringLiteral("/opt/say \"hi\"/x"), {}, QStringLiteral("\"/opt/say \\\\\"hi\\\\\"/x\"")},
        {QStringLiteral("/opt/back\\slash"), {}, QStringLiteral("\"/opt/back\\\\\\\\slash\"")},
        {QStringLiteral("/opt/100%/x"), {}, QStringLiteral("/opt/100%%/x")},
        {QStringLiteral("/opt/it's"), {}, QStringLiteral("\"/opt/it's\"")},
        {QStringLiteral("/opt/x"), {QString()}, QStringLiteral("/opt/x \"\"")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Autostart::execLine(c.program, c.arguments), c.exec) << c.program.toStdString();
}

// The written entry passes the desktop's own validator, also for a program
// path with characters that need quoting and a name with a line break.
TEST_F(AutostartTest, EntryPassesTheValidator) {
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty()) GTEST_SKIP() << "desktop-file-validate is not installed";
    const Autostart odd(QStringLiteral("app.hushcoffer.Hushcoffer"), QStringLiteral("Hush\ncoffer"),
                        QStringLiteral("/home/a b/$x \"q\"/100%/hushcoffer"), {QStringLiteral("--tray")});
    ASSERT_TRUE(odd.setEnabled(true));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(validator, {odd.entryPath()});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QByteArray out = p.readAll();
    EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
    EXPECT_FALSE(out.contains("error")) << out.toStdString();
    EXPECT_FALSE(read(odd.entryPath()).contains("\ncoffer")) << "a line break in the name starts no new key";
}

TEST_F(AutostartTest, FailuresLeaveThePreviousState) {
    // The autostart folder cannot be made: a file stands in its place.
    write(config_ + QStringLiteral("/autostart"), "not a folder");
    QString error;
    EXPECT_FALSE(autostart_.setEnabled(true, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(autostart_.isEnabled());
    QFile::remove(config_ + QStringLiteral("/autostart"));

    if (geteuid() == 0) GTEST_SKIP() << "root removes entries from read-only folders";
    // An entry in a read-only folder cannot be removed: it stays on.
    ASSERT_TRUE(autostart_.setEnabled(true));
    const QString dir = config_ + QStringLiteral("/autostart");
    ASSERT_EQ(chmod(dir.toUtf8().constData(), 0555), 0);
    error.clear();
    EXPECT_FALSE(autostart_.setEnabled(false, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(autostart_.isEnabled());
    chmod(dir.toUtf8().constData(), 0755);
}

} // namespace
