#pragma once

#include <QThreadPool>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

// Runs blocking vault work off the GUI thread: one serial lane per key (the
// vault directory), so jobs of one vault run one at a time in the order they
// were submitted, while jobs of different vaults run in parallel on a thread
// pool. A job must not throw (the model catches everything inside its jobs).
class VaultWorkQueue {
public:
    explicit VaultWorkQueue(int maxThreads = 16);
    // Waits for every submitted job.
    ~VaultWorkQueue();
    VaultWorkQueue(const VaultWorkQueue&) = delete;
    VaultWorkQueue& operator=(const VaultWorkQueue&) = delete;

    void submit(const std::string& lane, std::function<void()> job);
    // Blocks until every job submitted so far has run.
    void waitForDone();

private:
    struct Lane {
        std::deque<std::function<void()>> jobs;
    };
    void drain(const std::string& lane);

    std::mutex mutex_;
    std::map<std::string, Lane> lanes_; // a lane exists while it has work
    QThreadPool pool_;
};
