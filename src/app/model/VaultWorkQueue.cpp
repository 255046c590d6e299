#include "app/model/VaultWorkQueue.h"

VaultWorkQueue::VaultWorkQueue(int maxThreads) {
    pool_.setMaxThreadCount(maxThreads);
    pool_.setExpiryTimeout(30'000);
}

VaultWorkQueue::~VaultWorkQueue() {
    waitForDone();
}

void VaultWorkQueue::submit(const std::string& lane, std::function<void()> job, Sharing sharing) {
    std::lock_guard lock(mutex_);
    lanes_[lane].jobs.push_back({std::move(job), sharing});
    startIfIdle(lane);
}

void VaultWorkQueue::submitUrgent(const std::string& lane, std::function<void()> job) {
    std::lock_guard lock(mutex_);
    Lane& l = lanes_[lane];
    if (l.draining && l.runningAllowsUrgent && !l.besideRunning && l.urgent.empty()) {
        l.besideRunning = true;
        pool_.start([this, lane, job = std::move(job)]() mutable { runBeside(lane, std::move(job)); });
        return;
    }
    l.urgent.push_back({std::move(job), Sharing::exclusive});
    startIfIdle(lane);
}

void VaultWorkQueue::startIfIdle(const std::string& lane) {
    auto it = lanes_.find(lane);
    if (it == lanes_.end()) return;
    Lane& l = it->second;
    if (l.draining || l.besideRunning) return;
    if (l.urgent.empty() && l.jobs.empty()) {
        lanes_.erase(it);
        return;
    }
    l.draining = true;
    pool_.start([this, lane] { drain(lane); });
}

void VaultWorkQueue::runBeside(const std::string& lane, std::function<void()> job) {
    job();
    job = nullptr;
    std::lock_guard lock(mutex_);
    auto it = lanes_.find(lane);
    if (it == lanes_.end()) return;
    Lane& l = it->second;
    l.besideRunning = false;
    // The job that allows urgent work still runs: the next urgent job goes
    // beside it too.
    if (l.draining && l.runningAllowsUrgent && !l.urgent.empty()) {
        l.besideRunning = true;
        std::function<void()> next = std::move(l.urgent.front().run);
        l.urgent.pop_front();
        pool_.start([this, lane, next = std::move(next)]() mutable { runBeside(lane, std::move(next)); });
        return;
    }
    startIfIdle(lane);
}

void VaultWorkQueue::drain(const std::string& lane) {
    for (;;) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            auto it = lanes_.find(lane);
            if (it == lanes_.end()) return;
            Lane& l = it->second;
            l.runningAllowsUrgent = false;
            // An urgent job running beside the last one finishes first; it
            // starts the lane again when it ends.
            if (l.besideRunning) {
                l.draining = false;
                return;
            }
            std::deque<Job>& from = !l.urgent.empty() ? l.urgent : l.jobs;
            if (from.empty()) {
                lanes_.erase(it);
                return;
            }
            job = std::move(from.front());
            from.pop_front();
            l.runningAllowsUrgent = job.sharing == Sharing::allowsUrgent;
        }
        job.run();
        job.run = nullptr;
    }
}

void VaultWorkQueue::waitForDone() {
    pool_.waitForDone();
}
