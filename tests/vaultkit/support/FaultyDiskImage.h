#pragma once

#include "vaultkit/diskimage/DiskImage.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vaulttest {

// A driver that passes every call on to a real one, records the calls, and
// runs test actions before or after the n-th call of an operation (an action
// may throw, which makes the call fail, or change the disk). Thread-safe.
class FaultyDiskImage final : public vaultkit::DiskImage {
public:
    enum class Op { create, attach, detach, checkPassword, changePassword, attachment, busyProcesses };
    struct Call {
        Op op;
        std::string argument; // image, mount point or device
        bool force = false;   // detach only
    };
    using Action = std::function<void()>;

    explicit FaultyDiskImage(std::shared_ptr<vaultkit::DiskImage> inner)
        : inner_(std::move(inner)) {}

    // nth counts from 1, from the moment the action is registered (the first
    // call of op after this one is 1); 0 means every call.
    void before(Op op, int nth, Action action);
    void after(Op op, int nth, Action action);
    // Replaces what checkPassword answers (the real check still runs).
    void overrideCheckPassword(std::function<bool(bool)> filter);
    void clearActions();

    std::vector<Call> calls() const;
    std::vector<Call> calls(Op op) const;
    int count(Op op) const { return static_cast<int>(calls(op).size()); }
    void clearCalls();

    std::string imageName() const override { return inner_->imageName(); }
    std::vector<std::string> readmeHowToOpen() const override { return inner_->readmeHowToOpen(); }
    void create(const std::filesystem::path& image, const std::string& password,
                const std::string& volumeName) override;
    void attach(const std::filesystem::path& image, const std::string& password,
                const std::filesystem::path& mountPoint, MountMode mode = MountMode::shared) override;
    void detach(const std::string& device, bool force) override;
    bool checkPassword(const std::filesystem::path& image, const std::string& password) override;
    void changePassword(const std::filesystem::path& image, const std::string& oldPassword,
                        const std::string& newPassword) override;
    std::optional<Attachment> attachment(const std::filesystem::path& image) override;
    std::vector<std::string> busyProcesses(const std::filesystem::path& mountPoint) override;
    bool isMountPoint(const std::filesystem::path& path) override { return inner_->isMountPoint(path); }
    std::vector<MountState> mountStates(const std::vector<std::filesystem::path>& paths) override {
        return inner_->mountStates(paths);
    }
    std::string canonical(const std::string& path) override { return inner_->canonical(path); }
    bool neverHeldData(const std::filesystem::path& image) override { return inner_->neverHeldData(image); }

private:
    // An action for the call of `op` whose running number is `target`
    // (0: every call).
    struct Pending {
        Op op;
        long target;
        Action action;
    };
    // Records the call and returns its running number for that operation.
    long record(Op op, std::string argument, bool force = false);
    void add(std::vector<Pending>& list, Op op, int nth, Action action);
    void run(const std::vector<Pending>& actions, Op op, long number);

    std::shared_ptr<vaultkit::DiskImage> inner_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::map<Op, long> totals_; // calls of each operation ever made (not reset by clearCalls)
    std::vector<Pending> before_, after_;
    std::function<bool(bool)> checkFilter_;
};

} // namespace vaulttest
