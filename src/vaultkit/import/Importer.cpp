#include "vaultkit/import/Importer.h"

#include "vaultkit/error/VaultError.h"
#include "vaultkit/process/Exec.h"
#include "vaultkit/record/Registry.h"
#include "vaultkit/record/Uuid.h"
#include "vaultkit/vault/Vault.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <dirent.h>

namespace fs = std::filesystem;

namespace vaultkit::Importer {

namespace {

using Clock = std::chrono::steady_clock;

// While a copy runs, the destination is measured at most every 250 ms, and
// never more often than keeps the measuring below about a fiftieth of the
// copy's time (a walk of a large tree through the encrypted file system is
// not free).
constexpr auto minSampleInterval = std::chrono::milliseconds(250);
constexpr int sampleCostFactor = 49;

// Threads that list directories at once for an inventory.
constexpr unsigned inventoryThreads = 4;

std::int64_t valueOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return directoryValue;
    if (S_ISLNK(st.st_mode)) return symlinkValue;
    return std::max<std::int64_t>(0, st.st_size);
}

// Looks at the item at `url` itself: visit(".", value). Returns a descriptor
// of it when it is a directory that can be opened (never following a link),
// else -1.
template <class Visit> int openItem(const fs::path& url, Visit&& visit) {
    struct stat st {};
    if (::lstat(url.c_str(), &st) != 0) {
        visit(std::string("."), unreadableValue);
        return -1;
    }
    const std::int64_t rootValue = valueOf(st);
    visit(std::string("."), rootValue);
    if (rootValue != directoryValue) return -1;
    return ::open(url.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Lists one directory below the item (`dirRel` relative to it, "" for the
// item itself): visit(relativePath, value) for each entry, looked up with
// fstatat on its directory (attributes only, links not followed); the
// subdirectories' paths are appended to `subdirs`. A directory that cannot be
// opened is skipped: it was visited as a directory, nothing below it is.
template <class Visit>
void listDirectory(int rootFd, const std::string& dirRel, std::vector<std::string>& subdirs,
                   std::vector<std::string>& names, Visit&& visit) {
    const int fd = dirRel.empty()
                       ? ::dup(rootFd)
                       : ::openat(rootFd, dirRel.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    names.clear();
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    const int dfd = ::dirfd(dir);
    struct stat st {};
    for (const std::string& name : names) {
        std::string rel = dirRel.empty() ? name : dirRel + '/' + name;
        std::int64_t value = unreadableValue;
        if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) value = valueOf(st);
        if (value == directoryValue) subdirs.push_back(rel);
        visit(std::move(rel), value);
    }
    ::closedir(dir);
}

// Visits the item at `url` (as ".") and, when it is a directory, everything
// below it, one directory at a time (at most two descriptors open).
template <class Visit> void walk(const fs::path& url, Visit&& visit) {
    const int rootFd = openItem(url, visit);
    if (rootFd < 0) return;
    std::vector<std::string> pending{std::string()};
    std::vector<std::string> names;
    while (!pending.empty()) {
        const std::string dirRel = std::move(pending.back());
        pending.pop_back();
        listDirectory(rootFd, dirRel, pending, names, visit);
    }
    ::close(rootFd);
}

// The same visit of a whole tree by several threads, each listing one
// directory at a time. Inside a vault every lookup is a round trip to the
// encrypted file system's daemon, which answers many at once; one thread
// alone would spend most of the check waiting. `visit` is called from the
// threads under a lock.
template <class Visit> void walkInParallel(const fs::path& url, unsigned threads, Visit&& visit) {
    const int rootFd = openItem(url, visit);
    if (rootFd < 0) return;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> pending{std::string()};
    unsigned listing = 0;
    std::exception_ptr failure;
    auto work = [&] {
        std::vector<std::string> subdirs, names;
        std::vector<std::pair<std::string, std::int64_t>> found;
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !pending.empty() || listing == 0 || failure; });
            if (failure || pending.empty()) return;
            const std::string dirRel = std::move(pending.back());
            pending.pop_back();
            ++listing;
            lock.unlock();
            subdirs.clear();
            found.clear();
            try {
                listDirectory(rootFd, dirRel, subdirs, names, [&](std::string&& rel, std::int64_t value) {
                    found.emplace_back(std::move(rel), value);
                });
            } catch (...) {
                lock.lock();
                if (!failure) failure = std::current_exception();
                --listing;
                changed.notify_all();
                return;
            }
            lock.lock();
            try {
                for (auto& [rel, value] : found)
                    visit(std::move(rel), value);
                for (auto& d : subdirs)
                    pending.push_back(std::move(d));
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
            --listing;
            changed.notify_all();
        }
    };
    {
        std::vector<std::jthread> workers;
        for (unsigned i = 1; i < threads; ++i)
            workers.emplace_back(work);
        work();
    }
    ::close(rootFd);
    if (failure) std::rethrow_exception(failure);
}

// Total size of the regular (and other non-directory, non-link) items at and
// below `url`.
std::int64_t bytesAt(const fs::path& url) {
    std::int64_t total = 0;
    walk(url, [&](std::string&&, std::int64_t value) {
        if (value >= 0) total += value;
    });
    return total;
}

std::string trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(space);
    return std::string(text.substr(first, last - first + 1));
}

// The copier's standard error, trimmed, without the program path it starts
// each line with (it names itself by the path it was started as, which the
// "cp: " prefix already says).
std::string copierText(std::string_view stderrText) {
    const std::string self = std::string(copyTool) + ": ";
    std::string out;
    std::string_view rest = stderrText;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.starts_with(self)) line.remove_prefix(self.size());
        out.append(line);
        if (end != std::string_view::npos) out.push_back('\n');
    }
    return trimmed(out);
}

// The name a source gets in the vault: its last path component, after
// removing trailing separators and "." / ".." steps ("photos/" -> "photos").
std::string lastComponent(const fs::path& source) {
    std::error_code ec;
    fs::path p = fs::absolute(source, ec);
    if (ec) p = source;
    p = p.lexically_normal();
    if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
    return p.filename().string();
}

// Reports a never-decreasing fraction of `total` bytes.
class FractionReporter {
public:
    FractionReporter(const ByteProgress& callback, std::int64_t total)
        : callback_(callback)
        , total_(total) {}

    void arrived(std::int64_t bytes) {
        if (!callback_) return;
        const double fraction =
            total_ <= 0 ? 0.0
                        : std::clamp(static_cast<double>(bytes) / static_cast<double>(total_), 0.0, 1.0);
        report(fraction);
    }
    void finished() { report(1.0); }

private:
    void report(double fraction) {
        if (!callback_ || fraction <= last_) return;
        last_ = fraction;
        callback_(fraction);
    }

    const ByteProgress& callback_;
    const std::int64_t total_;
    double last_ = 0.0;
};

// Runs the copier, sampling the destination's size while it works.
ExecResult runCopy(const fs::path& source, const fs::path& destination, FractionReporter* reporter,
                   std::int64_t bytesBefore, std::int64_t itemBytes) {
    auto future = Exec::run(copyTool, {"-a", "--reflink=auto", "--", source.string(), destination.string()},
                            std::nullopt, copyTimeLimitSeconds);
    if (reporter) {
        auto next = Clock::now() + minSampleInterval;
        while (future.wait_until(next) != std::future_status::ready) {
            const auto start = Clock::now();
            const std::int64_t arrived = std::min(bytesAt(destination), itemBytes);
            const auto cost = Clock::now() - start;
            reporter->arrived(bytesBefore + arrived);
            next = Clock::now() + std::max<Clock::duration>(minSampleInterval, cost * sampleCostFactor);
        }
    }
    return future.get();
}

// ---- Temporary copies ----

// The first 8 characters of a one-line system file (machine id, boot id),
// without hyphens; "0" when it cannot be read.
std::string shortId(const char* file) {
    std::string text;
    if (FILE* f = std::fopen(file, "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f)) text = buf;
        std::fclose(f);
    }
    std::string out;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) out += c;
        if (out.size() == 8) break;
    }
    return out.empty() ? "0" : out;
}

const std::string& machineTag() {
    static const std::string tag = shortId("/etc/machine-id");
    return tag;
}

const std::string& bootTag() {
    static const std::string tag = shortId("/proc/sys/kernel/random/boot_id");
    return tag;
}

// ".hushcoffer-import-MACHINE-BOOT-PID-RANDOM": what the copy of an item is
// called until it is complete and flushed.
std::string temporaryName() {
    std::string random = Uuid::random().text();
    random.erase(std::remove(random.begin(), random.end(), '-'), random.end());
    return std::string(temporaryPrefix) + machineTag() + "-" + bootTag() + "-" + std::to_string(::getpid()) +
           "-" + random.substr(0, 12);
}

// Whether a temporary copy was left by an import that can no longer finish
// it: one of this computer's, from an earlier boot or a process that is gone.
// Another computer's (a vault kept in sync between computers) is left to that
// computer, which alone can tell whether its import still runs.
bool abandoned(std::string_view name) {
    if (!name.starts_with(temporaryPrefix)) return false;
    name.remove_prefix(temporaryPrefix.size());
    std::vector<std::string_view> parts;
    for (std::size_t pos = 0;;) {
        const auto dash = name.find('-', pos);
        parts.push_back(
            name.substr(pos, dash == std::string_view::npos ? std::string_view::npos : dash - pos));
        if (dash == std::string_view::npos) break;
        pos = dash + 1;
    }
    if (parts.size() != 4 || parts[0] != machineTag()) return false;
    if (parts[1] != bootTag()) return true;
    long pid = 0;
    const auto [end, ec] = std::from_chars(parts[2].data(), parts[2].data() + parts[2].size(), pid);
    if (ec != std::errc() || end != parts[2].data() + parts[2].size() || pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Flushes everything written to the file system that holds `image` (the
// encrypted files behind the volume). The encrypted file system passes a
// flush of a file or folder on to its own files, but never flushes the name
// key it writes into each new folder; only this reaches that as well.
std::optional<std::string> flushImage(const fs::path& image) {
    // The vault directory that holds the image is on the same file system
    // (and is there for drivers whose image is not a folder).
    int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fd = ::open(image.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::string("cannot open ") + image.string() + ": " + std::strerror(errno);
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0) return std::string("cannot flush the vault's data to the disk: ") + std::strerror(err);
    return std::nullopt;
}

// Moves the finished copy to the first free name of uniqueDestination,
// never replacing anything; returns where it is now.
fs::path moveIntoPlace(const fs::path& temporary, const fs::path& wanted,
                       std::vector<std::string>& problems) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path destination = uniqueDestination(wanted);
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
            return destination;
        if (errno != EEXIST) break;
    }
    problems.push_back(std::string(copyToolPrefix) + "cannot give the copy its name " +
                       wanted.filename().string() + ": " + std::strerror(errno));
    return temporary;
}

} // namespace

std::size_t removeAbandonedCopies(const fs::path& folder) {
    std::size_t removed = 0;
    std::error_code ec;
    std::vector<fs::path> found;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (abandoned(it->path().filename().string())) found.push_back(it->path());
    for (const auto& p : found) {
        std::error_code rm;
        fs::remove_all(p, rm);
        if (!rm) ++removed;
    }
    return removed;
}

std::vector<Result> copy(const std::vector<fs::path>& sources, const Vault& vault,
                         const ItemProgress& progress, const ByteProgress& byteProgress) {
    if (!vault.isUnlocked()) throw VaultError::io("vault is locked");
    std::vector<Result> results;
    if (sources.empty()) return results;
    const fs::path root = vault.openFolder();

    // The byte totals of all sources, for the fraction: only when asked for.
    std::vector<std::int64_t> itemBytes(sources.size(), 0);
    std::int64_t totalBytes = 0;
    if (byteProgress) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            itemBytes[i] = bytesAt(sources[i]);
            totalBytes += itemBytes[i];
        }
    }
    FractionReporter reporter(byteProgress, totalBytes);

    // Copies an import killed on its way left behind (the originals are
    // still where they were).
    removeAbandonedCopies(root);

    std::int64_t bytesBefore = 0;
    results.reserve(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const fs::path& source = sources[i];
        if (progress) progress(source);

        const std::string name = lastComponent(source);
        Result result;
        result.id = Uuid::random().text();
        result.source = source;
        std::vector<std::string> problems;
        if (name.empty()) {
            // The file-system root has no name to copy it under; nothing is
            // copied, and the comparison lists what did not arrive.
            result.destination = root;
            problems.push_back(std::string(copyToolPrefix) + "the file system root cannot be imported");
        }
        // The copy is made under a hidden temporary name, checked and flushed,
        // and only then given its name: an import stopped on its way (killed,
        // a power cut) never leaves a cut-off file under a real name.
        const fs::path temporary = name.empty() ? root : root / temporaryName();
        if (!name.empty()) {
            const ExecResult run =
                runCopy(source, temporary, byteProgress ? &reporter : nullptr, bytesBefore, itemBytes[i]);
            if (run.status != 0) problems.push_back(std::string(copyToolPrefix) + copierText(run.stderrText));
        }

        const Inventory sourceInventory = inventory(source);
        const Inventory copyInventory =
            name.empty() ? Inventory{{{".", unreadableValue}}, 0} : inventory(temporary);
        for (const auto& [path, value] : sourceInventory.entries) {
            if (value != directoryValue)
                ++result.files;
            else if (path != ".")
                ++result.folders;
        }
        result.bytes = sourceInventory.bytes;
        result.problems = compare(sourceInventory, copyInventory, std::move(problems));
        if (!name.empty()) {
            std::error_code ec;
            if (fs::symlink_status(temporary, ec).type() == fs::file_type::not_found) {
                // Nothing arrived (a source that is not there): nothing to name.
                result.destination = uniqueDestination(root / name);
            } else {
                if (auto failed = flushImage(vault.image())) result.problems.push_back(*failed);
                result.destination = moveIntoPlace(temporary, root / name, result.problems);
            }
        }
        results.push_back(std::move(result));

        bytesBefore += itemBytes[i];
        reporter.arrived(bytesBefore);
    }
    // The new names on the disk before anything is reported (and before the
    // application offers to move the originals to the Trash).
    if (auto failed = flushImage(vault.image()))
        for (auto& r : results)
            if (r.problems.size() < maxProblems) r.problems.push_back(*failed);
    reporter.finished();
    return results;
}

fs::path uniqueDestination(const fs::path& url) {
    std::error_code ec;
    auto taken = [&](const fs::path& p) {
        return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
    };
    if (!taken(url)) return url;
    const fs::path folder = url.parent_path();
    const std::string base = url.stem().string();
    const std::string extension = url.extension().string(); // with its dot, or empty
    for (unsigned long n = 2;; ++n) {
        fs::path candidate = folder / (base + " " + std::to_string(n) + extension);
        if (!taken(candidate)) return candidate;
    }
}

Inventory inventory(const fs::path& url) {
    Inventory result;
    walkInParallel(url, inventoryThreads, [&](std::string&& rel, std::int64_t value) {
        if (value >= 0) result.bytes += value;
        result.entries.emplace(std::move(rel), value);
    });
    return result;
}

std::vector<std::string> compare(const Inventory& source, const Inventory& copy,
                                 std::vector<std::string> problems) {
    for (const auto& [path, value] : source.entries) {
        if (problems.size() >= maxProblems) break;
        const auto found = copy.entries.find(path);
        if (found == copy.entries.end())
            problems.push_back("missing: " + path);
        else if (found->second != value)
            problems.push_back("size differs: " + path);
    }
    return problems;
}

std::optional<fs::path> sourceHoldingVault(const std::vector<fs::path>& sources, const Vault& vault) {
    // Compared as standardized paths with a final "/", so that "/a/b" holds
    // "/a/b/c" but not "/a/bc".
    const std::string dirKey = Registry::standardized(vault.dir()) + "/";
    const std::string mountKey = Registry::standardized(vault.mountPoint()) + "/";
    // a vault opened outside its folder is also inside that place
    const std::string openKey = Registry::standardized(vault.openFolder()) + "/";
    for (const auto& source : sources) {
        const std::string item = Registry::standardized(source);
        const std::string key = item == "/" ? item : item + "/";
        if (dirKey.starts_with(key) || mountKey.starts_with(key) || openKey.starts_with(key)) return fs::path(item);
    }
    return std::nullopt;
}

} // namespace vaultkit::Importer
