#include "app/VaultWorkQueue.h"

VaultWorkQueue::VaultWorkQueue(int maxThreads) {
    pool_.setMaxThreadCount(maxThreads);
    pool_.setExpiryTimeout(30'000);
}

VaultWorkQueue::~VaultWorkQueue() {
    waitForDone();
}

void VaultWorkQueue::submit(const std::string& lane, std::function<void()> job) {
    bool start = false;
    {
        std::lock_guard lock(mutex_);
        auto [it, inserted] = lanes_.try_emplace(lane);
        it->second.jobs.push_back(std::move(job));
        start = inserted; // a lane that already exists has a drainer running
    }
    if (start) pool_.start([this, lane] { drain(lane); });
}

void VaultWorkQueue::drain(const std::string& lane) {
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex_);
            auto it = lanes_.find(lane);
            if (it == lanes_.end()) return;
            if (it->second.jobs.empty()) {
                lanes_.erase(it);
                return;
            }
            job = std::move(it->second.jobs.front());
            it->second.jobs.pop_front();
        }
        job();
    }
}

void VaultWorkQueue::waitForDone() {
    pool_.waitForDone();
}
