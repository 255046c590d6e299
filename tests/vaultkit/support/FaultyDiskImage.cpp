#include "support/FaultyDiskImage.h"

namespace vaulttest {

void FaultyDiskImage::add(std::vector<Pending>& list, Op op, int nth, Action action) {
    std::lock_guard lock(mutex_);
    list.push_back(Pending{op, nth == 0 ? 0 : totals_[op] + nth, std::move(action)});
}

void FaultyDiskImage::before(Op op, int nth, Action action) {
    add(before_, op, nth, std::move(action));
}
void FaultyDiskImage::after(Op op, int nth, Action action) {
    add(after_, op, nth, std::move(action));
}

void FaultyDiskImage::overrideCheckPassword(std::function<bool(bool)> filter) {
    std::lock_guard lock(mutex_);
    checkFilter_ = std::move(filter);
}

void FaultyDiskImage::clearActions() {
    std::lock_guard lock(mutex_);
    before_.clear();
    after_.clear();
    checkFilter_ = {};
}

std::vector<FaultyDiskImage::Call> FaultyDiskImage::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<FaultyDiskImage::Call> FaultyDiskImage::calls(Op op) const {
    std::lock_guard lock(mutex_);
    std::vector<Call> out;
    for (const auto& c : calls_)
        if (c.op == op) out.push_back(c);
    return out;
}

void FaultyDiskImage::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

long FaultyDiskImage::record(Op op, std::string argument, bool force) {
    std::lock_guard lock(mutex_);
    calls_.push_back(Call{op, std::move(argument), force});
    return ++totals_[op];
}

void FaultyDiskImage::run(const std::vector<Pending>& actions, Op op, long number) {
    std::vector<Action> todo;
    {
        std::lock_guard lock(mutex_);
        for (const auto& p : actions)
            if (p.op == op && (p.target == 0 || p.target == number)) todo.push_back(p.action);
    }
    for (auto& a : todo)
        a();
}

void FaultyDiskImage::create(const std::filesystem::path& image, const std::string& password,
                             const std::string& volumeName) {
    long n = record(Op::create, image.string());
    run(before_, Op::create, n);
    inner_->create(image, password, volumeName);
    run(after_, Op::create, n);
}

void FaultyDiskImage::attach(const std::filesystem::path& image, const std::string& password,
                             const std::filesystem::path& mountPoint, MountMode mode) {
    long n = record(Op::attach, mountPoint.string());
    run(before_, Op::attach, n);
    inner_->attach(image, password, mountPoint, mode);
    run(after_, Op::attach, n);
}

void FaultyDiskImage::detach(const std::string& device, bool force) {
    long n = record(Op::detach, device, force);
    run(before_, Op::detach, n);
    inner_->detach(device, force);
    run(after_, Op::detach, n);
}

bool FaultyDiskImage::checkPassword(const std::filesystem::path& image, const std::string& password) {
    long n = record(Op::checkPassword, image.string());
    run(before_, Op::checkPassword, n);
    bool ok = inner_->checkPassword(image, password);
    run(after_, Op::checkPassword, n);
    std::function<bool(bool)> filter;
    {
        std::lock_guard lock(mutex_);
        filter = checkFilter_;
    }
    return filter ? filter(ok) : ok;
}

void FaultyDiskImage::changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                                     const std::string& newPassword) {
    long n = record(Op::changePassword, image.string());
    run(before_, Op::changePassword, n);
    inner_->changePassword(image, oldPassword, newPassword);
    run(after_, Op::changePassword, n);
}

std::optional<vaultkit::DiskImage::Attachment>
FaultyDiskImage::attachment(const std::filesystem::path& image) {
    long n = record(Op::attachment, image.string());
    run(before_, Op::attachment, n);
    auto a = inner_->attachment(image);
    run(after_, Op::attachment, n);
    return a;
}

std::vector<std::string> FaultyDiskImage::busyProcesses(const std::filesystem::path& mountPoint) {
    long n = record(Op::busyProcesses, mountPoint.string());
    run(before_, Op::busyProcesses, n);
    auto names = inner_->busyProcesses(mountPoint);
    run(after_, Op::busyProcesses, n);
    return names;
}

} // namespace vaulttest
