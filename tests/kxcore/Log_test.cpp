#include "kxcore/Log.h"

#include <QString>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using kxcore::Log;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxlog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ / "app.log";
        log_.setSystemSink([this](Log::Level level, const std::string& message) {
            std::lock_guard lock(sinkMutex_);
            system_.emplace_back(std::string(Log::levelName(level)), message);
        });
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void fill(const fs::path& p, std::size_t bytes, char c = 'x') {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << std::string(bytes, c);
    }

    fs::path dir_, file_;
    Log log_;
    std::mutex sinkMutex_;
    std::vector<std::pair<std::string, std::string>> system_;
};

TEST_F(LogTest, BeforeConfigureNothingReachesTheDiskButTheSystemLogHearsIt) {
    log_.info("early");
    log_.error([] { return std::string("also early"); });
    log_.flush();
    EXPECT_TRUE(fs::is_empty(dir_));
    EXPECT_EQ(log_.tail(6000), "");
    std::lock_guard lock(sinkMutex_);
    ASSERT_EQ(system_.size(), 2u);
    EXPECT_EQ(system_[0], (std::pair<std::string, std::string>{"INFO", "early"}));
    EXPECT_EQ(system_[1], (std::pair<std::string, std::string>{"ERROR", "also early"}));
}

TEST_F(LogTest, WritesTimestampLevelAndMessageLinesInOrder) {
    log_.configure(file_);
    log_.info("started");
    log_.warn(std::string("disk nearly full"));
    log_.error([] { return QString::fromUtf8("could not lock “Privé”"); });
    log_.info("two\nlines");
    log_.flush();
    std::string text = read(file_);
    const std::regex line(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[(INFO|WARN|ERROR)\] )");
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 5u) << text;
    EXPECT_TRUE(std::regex_search(lines[0], line));
    EXPECT_EQ(lines[0].substr(20), " [INFO] started");
    EXPECT_EQ(lines[1].substr(20), " [WARN] disk nearly full");
    EXPECT_EQ(lines[2].substr(20), " [ERROR] could not lock “Privé”");
    EXPECT_EQ(lines[3].substr(20), " [INFO] two");
    EXPECT_EQ(lines[4], "lines"); // a message with a line feed is written unchanged
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogTest, TimestampsAreUtcWholeSeconds) {
    using namespace std::chrono;
    EXPECT_EQ(Log::timestamp(system_clock::time_point{}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(Log::timestamp(system_clock::time_point{seconds{1714555800} + milliseconds{999}}),
              "2024-05-01T09:30:00Z");
}

TEST_F(LogTest, TheMessageIsMadeOnceAndOnlyWhenWritten) {
    int calls = 0;
    log_.configure(file_);
    log_.info([&] {
        ++calls;
        return std::string("counted");
    });
    log_.flush();
    EXPECT_EQ(calls, 1);
    EXPECT_NE(read(file_).find("[INFO] counted"), std::string::npos);
}

TEST_F(LogTest, RotatesOnlyFromOneByteAboveTwoMebibytesAndReplacesTheOldGeneration) {
    const fs::path old = dir_ / "app.log.1";
    struct Case {
        std::uintmax_t size;
        bool rotates;
    };
    for (Case c :
         {Case{2'097'151, false}, Case{2'097'152, false}, Case{2'097'153, true}, Case{3'000'000, true}}) {
        fill(file_, c.size);
        fill(old, 10, 'o'); // an earlier old generation
        Log log;
        log.setSystemSink(nullptr);
        log.configure(file_);
        log.info("next");
        log.flush();
        std::string current = read(file_);
        if (c.rotates) {
            EXPECT_EQ(fs::file_size(old), c.size) << c.size;
            EXPECT_EQ(read(old).find('o'), std::string::npos) << "old generation not replaced";
            EXPECT_EQ(current.substr(20), " [INFO] next\n") << c.size;
        } else {
            EXPECT_EQ(fs::file_size(old), 10u) << c.size;
            EXPECT_EQ(current.size(), c.size + 33) << c.size; // 20 + " [INFO] next\n"
        }
    }
}

TEST_F(LogTest, ADeletedLogFileIsCreatedAgain) {
    log_.configure(file_);
    log_.info("first");
    log_.flush();
    fs::remove(file_);
    log_.info("second");
    log_.flush();
    std::string text = read(file_);
    EXPECT_EQ(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("[INFO] second"), std::string::npos);
}

TEST_F(LogTest, AMissingFolderDropsLinesSilently) {
    log_.configure(dir_ / "gone" / "app.log");
    log_.error("nowhere to go");
    log_.flush();
    EXPECT_FALSE(fs::exists(dir_ / "gone"));
    EXPECT_EQ(log_.tail(100), "");
}

TEST_F(LogTest, KeepsTheOrderOfEachThread) {
    log_.configure(file_);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 250; ++i)
                log_.info("t" + std::to_string(t) + " " + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    log_.flush();
    std::istringstream in(read(file_));
    std::vector<int> next(4, 0);
    int lines = 0;
    for (std::string l; std::getline(in, l); ++lines) {
        int t = l[29] - '0';
        EXPECT_EQ(std::stoi(l.substr(31)), next[static_cast<std::size_t>(t)]++) << l;
    }
    EXPECT_EQ(lines, 1000);
}

TEST_F(LogTest, TailGivesTheLastBytesAndRepairsACutCharacter) {
    log_.configure(file_);
    log_.info("ü-end"); // ü is two bytes
    log_.flush();
    std::string all = read(file_);
    EXPECT_EQ(log_.tail(1'000'000), all);
    EXPECT_EQ(log_.tail(5), "-end\n");
    // Six bytes start inside "ü": one replacement character, then the rest.
    EXPECT_EQ(log_.tail(6), "\xEF\xBF\xBD-end\n");
    EXPECT_EQ(log_.tail(7), "ü-end\n");
    EXPECT_EQ(log_.tail(0), "");
}

TEST_F(LogTest, TailOfAnUnreadableFileIsEmpty) {
    fs::create_directory(file_); // a folder where the file should be
    log_.configure(file_);
    log_.info("x");
    EXPECT_EQ(log_.tail(100), "");
}

TEST(LogUtf8, ReplacesInvalidSequences) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"\x80\x80rest", "\xEF\xBF\xBDrest"}, // cut character at the start: one replacement
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},                    // a byte that never starts a character
        {"\xC3", "\xEF\xBF\xBD"}, // cut at the end
        {"\xE2\x82"
         "x",
         "\xEF\xBF\xBD"
         "x"},                                    // truncated three-byte character
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"}, // overlong form
        {"日本語", "日本語"},
        {"\xF0\x9F\x94\x92", "\xF0\x9F\x94\x92"}, // a padlock, four bytes
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(Log::repairUtf8(in), out) << ::testing::PrintToString(in);
}

TEST(LogLifetime, EntriesStillQueuedAreWrittenWhenTheLogEnds) {
    char pattern[] = "/tmp/kxlog-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::path file = fs::path(pattern) / "app.log";
    {
        Log log;
        log.setSystemSink(nullptr);
        log.configure(file);
        for (int i = 0; i < 200; ++i)
            log.info("entry " + std::to_string(i));
    }
    std::ifstream in(file);
    int lines = 0;
    for (std::string l; std::getline(in, l);)
        ++lines;
    EXPECT_EQ(lines, 200);
    fs::remove_all(pattern);
}

TEST(LogShared, IsOneInstance) {
    EXPECT_EQ(&Log::shared(), &Log::shared());
}

} // namespace
