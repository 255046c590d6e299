#include "kxcore/Log.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace kxcore {

namespace {

constexpr const char* systemLogIdentifier = "hushcoffer";

int priority(Log::Level level) {
    switch (level) {
    case Log::Level::info:
        return LOG_INFO;
    case Log::Level::warn:
        return LOG_WARNING;
    case Log::Level::error:
        return LOG_ERR;
    }
    return LOG_INFO;
}

void toSyslog(Log::Level level, const std::string& message) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(systemLogIdentifier, LOG_PID | LOG_NDELAY, LOG_USER); });
    std::string_view name = Log::levelName(level);
    syslog(priority(level), "%.*s %s", static_cast<int>(name.size()), name.data(), message.c_str());
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

Log& Log::shared() {
    static Log* log = [] {
        Log* l = new Log;
        std::atexit([] { shared().flush(); });
        return l;
    }();
    return *log;
}

Log::Log()
    : sink_(toSyslog) {
    worker_ = std::thread([this] { run(); });
}

Log::~Log() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void Log::setSystemSink(SystemSink sink) {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
}

std::string_view Log::levelName(Level level) {
    switch (level) {
    case Level::info:
        return "INFO";
    case Level::warn:
        return "WARN";
    case Level::error:
        return "ERROR";
    }
    return "INFO";
}

std::string Log::timestamp(std::chrono::system_clock::time_point t) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buf[32];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(buf, n);
}

std::string Log::repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 3);
    static constexpr char replacement[] = "\xEF\xBF\xBD";
    std::size_t i = 0;
    // A cut through a character leaves up to three continuation bytes at the
    // start: they become one replacement character.
    std::size_t lead = 0;
    while (lead < bytes.size() && lead < 3 && (static_cast<unsigned char>(bytes[lead]) & 0xC0) == 0x80)
        ++lead;
    if (lead > 0) {
        out += replacement;
        i = lead;
    }
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        }
        std::size_t k = 1;
        if (len > 0) {
            for (; k < len && i + k < bytes.size(); ++k) {
                unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
                if ((cc & 0xC0) != 0x80) break;
                cp = (cp << 6) | (cc & 0x3F);
            }
        }
        bool valid = len > 0 && k == len && !(len == 3 && cp < 0x800) && !(len == 4 && cp < 0x10000) &&
                     cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (valid) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            // One replacement per maximal invalid start (at least one byte).
            out += replacement;
            i += (len > 0 && k > 1 && k < len) ? k : 1;
        }
    }
    return out;
}

void Log::write(Level level, std::string message) {
    {
        std::lock_guard lock(sinkMutex_);
        if (sink_) sink_(level, message);
    }
    enqueue([this, level, message = std::move(message)] { appendLine(level, message); });
}

void Log::enqueue(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void Log::runSync(const std::function<void()>& job) {
    std::promise<void> done;
    auto finished = done.get_future();
    enqueue([&] {
        job();
        done.set_value();
    });
    finished.wait();
}

void Log::configure(const std::filesystem::path& file) {
    runSync([&] { file_ = file; });
}

void Log::flush() {
    runSync([] {});
}

std::string Log::tail(std::size_t bytes) {
    std::string result;
    runSync([&] {
        if (!file_) return;
        std::ifstream in(*file_, std::ios::binary);
        if (!in) return;
        std::stringstream buffer;
        buffer << in.rdbuf();
        std::string all = buffer.str();
        std::string_view last(all);
        if (last.size() > bytes) last.remove_prefix(last.size() - bytes);
        result = repairUtf8(last);
    });
    return result;
}

void Log::appendLine(Level level, const std::string& message) {
    if (!file_) return;
    std::string line = timestamp(std::chrono::system_clock::now());
    line += " [";
    line += levelName(level);
    line += "] ";
    line += message;
    line += '\n';

    const std::string path = file_->string();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && static_cast<std::uintmax_t>(st.st_size) >= rotationThreshold) {
        const std::string old = path + ".1";
        ::unlink(old.c_str());
        ::rename(path.c_str(), old.c_str());
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    writeAll(fd, line.data(), line.size());
    ::close(fd);
}

void Log::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return; // stopping, and everything is written
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

} // namespace kxcore
