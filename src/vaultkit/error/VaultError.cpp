#include "vaultkit/error/VaultError.h"

#include <cstddef>

namespace vaultkit {

namespace {

struct CaseInfo {
    std::string_view name;
    std::string_view key;
};

constexpr CaseInfo kCases[] = {
    {"touchID", "err.touchid"},
    {"busy", "err.busy"},
    {"mountPointNotEmpty", "err.notEmpty"},
    {"alreadyExists", "err.exists"},
    {"configMissing", "err.configMissing"},
    {"hdiutil", "err.system"},
    {"io", "err.system"},
    {"integrity", "err.integrity"},
    {"snapshotNotFound", "err.noSnapshot"},
    {"wrongPassword", "err.wrongPassword"},
    {"weakPassword", "err.weakPassword"},
    {"badMnemonic", "err.badMnemonic"},
    {"mnemonicNotForThisVault", "err.mnemonicOther"},
    {"recoveryFailed", "err.recoveryFailed"},
    {"touchIDCancelled", "err.touchidCancelled"},
    {"touchIDInvalidated", "err.touchidInvalid"},
    {"touchIDNotEnabled", "err.touchidOff"},
    {"invalidName", "err.invalidName"},
    {"openedElsewhere", "err.elsewhere"},
    {"notLocked", "err.notLocked"},
    {"changedDuringSync", "err.syncChanged"},
};
static_assert(std::size(kCases) == static_cast<std::size_t>(VaultError::Case::changedDuringSync) + 1);

const CaseInfo& info(VaultError::Case c) { return kCases[static_cast<std::size_t>(c)]; }

std::string join(const std::vector<std::string>& items, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < items.size() && i < limit; ++i) {
        if (i) out += ", ";
        out += items[i];
    }
    return out;
}

} // namespace

VaultError::VaultError(Case kind, std::vector<std::string> payload)
    : kind_(kind)
    , payload_(std::move(payload)) {
    what_ = std::string(info(kind_).name);
    if (!payload_.empty()) what_ += ": " + join(payload_, payload_.size());
}

VaultError VaultError::touchID(std::string text) { return {Case::touchID, {std::move(text)}}; }
VaultError VaultError::busy(std::vector<std::string> names) { return {Case::busy, std::move(names)}; }
VaultError VaultError::mountPointNotEmpty(std::vector<std::string> names) {
    return {Case::mountPointNotEmpty, std::move(names)};
}
VaultError VaultError::alreadyExists(std::string text) { return {Case::alreadyExists, {std::move(text)}}; }
VaultError VaultError::configMissing(std::string path) { return {Case::configMissing, {std::move(path)}}; }
VaultError VaultError::hdiutil(std::string verb, std::string message) {
    return {Case::hdiutil, {std::move(verb), std::move(message)}};
}
VaultError VaultError::io(std::string text) { return {Case::io, {std::move(text)}}; }
VaultError VaultError::integrity(std::string text) { return {Case::integrity, {std::move(text)}}; }
VaultError VaultError::snapshotNotFound(std::string text) { return {Case::snapshotNotFound, {std::move(text)}}; }
VaultError VaultError::wrongPassword() { return {Case::wrongPassword, {}}; }
VaultError VaultError::weakPassword() { return {Case::weakPassword, {}}; }
VaultError VaultError::badMnemonic() { return {Case::badMnemonic, {}}; }
VaultError VaultError::mnemonicNotForThisVault() { return {Case::mnemonicNotForThisVault, {}}; }
VaultError VaultError::recoveryFailed() { return {Case::recoveryFailed, {}}; }
VaultError VaultError::touchIDCancelled() { return {Case::touchIDCancelled, {}}; }
VaultError VaultError::touchIDInvalidated() { return {Case::touchIDInvalidated, {}}; }
VaultError VaultError::touchIDNotEnabled() { return {Case::touchIDNotEnabled, {}}; }
VaultError VaultError::invalidName() { return {Case::invalidName, {}}; }
VaultError VaultError::openedElsewhere() { return {Case::openedElsewhere, {}}; }
VaultError VaultError::notLocked() { return {Case::notLocked, {}}; }
VaultError VaultError::changedDuringSync() { return {Case::changedDuringSync, {}}; }

std::string_view VaultError::caseName() const noexcept { return info(kind_).name; }
std::string_view VaultError::key() const noexcept { return info(kind_).key; }

std::vector<std::string> VaultError::args() const {
    switch (kind_) {
    case Case::touchID:
    case Case::alreadyExists:
    case Case::configMissing:
    case Case::integrity:
        return payload_;
    case Case::busy:
        return {payload_.empty() ? std::string("?") : join(payload_, payload_.size())};
    case Case::mountPointNotEmpty:
        return {join(payload_, 5)};
    case Case::hdiutil:
        return payload_;
    case Case::io:
        return {"io", payload_.empty() ? std::string() : payload_.front()};
    default:
        return {};
    }
}

} // namespace vaultkit
