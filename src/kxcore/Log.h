#pragma once

#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>

namespace kxcore {

// The application log: one text file of lines
//     <timestamp> [<LEVEL>] <message>
// with an ISO 8601 UTC timestamp in whole seconds (2024-05-01T09:30:00Z) and
// the levels INFO, WARN and ERROR, mirrored to the system log (syslog, so the
// journal keeps it) under the identifier "hushcoffer".
//
// Every entry goes to the system log at once, on the caller's thread; the
// file is written on one worker thread that runs file work in the order it
// was asked for. Each entry opens the file, appends its line and closes it
// again, so a log file deleted while the program runs is created anew. Until
// configure() names a file, entries reach the system log only.
//
// Rotation: before a line is appended, a file of 2,097,153 bytes or more
// (more than 2 MiB) becomes "<file>.1", replacing the old generation, and the
// line starts a new file.
//
// Never pass secrets (passwords, phrases, keys, sealed boxes) to the log.
class Log {
public:
    enum class Level { info, warn, error };

    static constexpr std::uintmax_t rotationThreshold = 2'097'153; // bytes; rotate when size >= this

    // The one log of the program, created on first use and never destroyed
    // (entries still waiting are written when the program exits normally).
    static Log& shared();

    Log();
    ~Log(); // writes what is still queued, then stops the worker
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Names the log file; returns once the worker has taken it.
    void configure(const std::filesystem::path& file);

    // Writes one entry. The message may be a text or a callable that makes
    // the text; the callable runs once, on the caller's thread, when the
    // entry is written.
    template <class M> void info(M&& message) { write(Level::info, makeText(std::forward<M>(message))); }
    template <class M> void warn(M&& message) { write(Level::warn, makeText(std::forward<M>(message))); }
    template <class M> void error(M&& message) { write(Level::error, makeText(std::forward<M>(message))); }

    // The last `bytes` bytes of the log file as UTF-8 text. A cut through a
    // character shows as one replacement character (U+FFFD) at the start, and
    // any other invalid sequence as U+FFFD. No file configured, or a file
    // that cannot be read, gives an empty text. Waits for earlier entries.
    std::string tail(std::size_t bytes);

    // Returns once every entry enqueued before the call is in the file.
    void flush();

    // Where entries go besides the file. The default sends them to syslog(3);
    // tests replace it to see what the system log receives.
    using SystemSink = std::function<void(Level, const std::string& message)>;
    void setSystemSink(SystemSink sink);

    static std::string_view levelName(Level level);
    static std::string timestamp(std::chrono::system_clock::time_point t);
    // Decodes bytes as UTF-8, replacing what is not valid (see tail()).
    static std::string repairUtf8(std::string_view bytes);

private:
    template <class M> static std::string makeText(M&& m) {
        if constexpr (std::is_invocable_v<M&>)
            return toText(m());
        else
            return toText(std::forward<M>(m));
    }
    static std::string toText(std::string s) { return s; }
    static std::string toText(std::string_view s) { return std::string(s); }
    static std::string toText(const char* s) { return s ? s : ""; }
    template <class T>
    requires requires(const T& t) {
        { t.toStdString() } -> std::convertible_to<std::string>;
    }
    static std::string toText(const T& t) { return t.toStdString(); }

    void write(Level level, std::string message);
    void enqueue(std::function<void()> job);
    void runSync(const std::function<void()>& job);
    void appendLine(Level level, const std::string& message); // on the worker
    void run();

    std::mutex sinkMutex_;
    SystemSink sink_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::optional<std::filesystem::path> file_; // touched on the worker only
    std::thread worker_;
};

} // namespace kxcore
