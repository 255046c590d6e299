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
//
// Urgent jobs (the automatic and quit locks) do not wait behind the lane's
// queue: one starts at once when the lane is idle or when the job running
// there was submitted as `allowsUrgent` (an import, which may take days);
// otherwise it runs as soon as the running job ends, before every job that
// waits. Urgent jobs of one lane run one at a time, and no ordinary job
// starts while an urgent one runs beside the lane. So at most two jobs of a
// lane ever run together: one `allowsUrgent` job and one urgent job.
class VaultWorkQueue {
public:
    explicit VaultWorkQueue(int maxThreads = 16);
    // Waits for every submitted job.
    ~VaultWorkQueue();
    VaultWorkQueue(const VaultWorkQueue&) = delete;
    VaultWorkQueue& operator=(const VaultWorkQueue&) = delete;

    enum class Sharing { exclusive, allowsUrgent };
    void submit(const std::string& lane, std::function<void()> job, Sharing sharing = Sharing::exclusive);
    void submitUrgent(const std::string& lane, std::function<void()> job);
    // Blocks until every job submitted so far has run.
    void waitForDone();

private:
    struct Job {
        std::function<void()> run;
        Sharing sharing = Sharing::exclusive;
    };
    struct Lane {
        std::deque<Job> urgent; // waiting urgent jobs, before `jobs`
        std::deque<Job> jobs;   // waiting ordinary jobs
        bool draining = false;  // a pool thread runs the lane's jobs in order
        bool runningAllowsUrgent = false;
        bool besideRunning = false; // an urgent job runs beside the drainer's job
    };
    void drain(const std::string& lane);
    void runBeside(const std::string& lane, std::function<void()> job);
    // With the mutex held: starts a drainer when there is work and nothing
    // runs; removes the lane when it has nothing at all.
    void startIfIdle(const std::string& lane);

    std::mutex mutex_;
    std::map<std::string, Lane> lanes_; // a lane exists while it has work
    QThreadPool pool_;
};
