#include "vaultkit/backup/StoreLease.h"

#include <nlohmann/json.hpp>
#include <openssl/rand.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace vaultkit {

namespace {

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

std::string randomHex() {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return std::to_string(::getpid());
    char text[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

StoreLease::StoreLease(SyncStore& store, std::string kind)
    : store_(store)
    , kind_(std::move(kind))
    , key_("locks/" + kind_ + "-" + randomHex() + ".json") {
    write();
}

StoreLease::~StoreLease() {
    try {
        store_.remove(key_);
    } catch (...) {
    }
}

void StoreLease::write() {
    const nlohmann::json j{
        {"kind", kind_}, {"host", hostName()}, {"pid", ::getpid()}, {"time", nowSeconds()}};
    store_.put(key_, j.dump() + "\n");
    written_ = std::chrono::steady_clock::now();
}

void StoreLease::renewIfDue() {
    if (std::chrono::steady_clock::now() - written_ >= renewal) write();
}

std::vector<std::string> StoreLease::othersAlive() const {
    std::vector<std::string> kinds;
    const std::string host = hostName();
    for (const auto& key : store_.list("locks/")) {
        if (key == key_) continue;
        const auto bytes = store_.get(key);
        if (!bytes) continue; // removed meanwhile
        nlohmann::json j = nlohmann::json::parse(*bytes, nullptr, false);
        // Leases are written whole (every store's put is atomic): one that
        // does not decode was not written by this program.
        if (!j.is_object()) continue;
        const std::string kind = j.value("kind", "unknown");
        const std::int64_t time = j.value("time", std::int64_t{0});
        if (nowSeconds() - time > lifetime.count()) continue;
        if (j.value("host", "") == host) {
            const long pid = j.value("pid", 0L);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) continue;
        }
        kinds.push_back(kind);
    }
    return kinds;
}

} // namespace vaultkit
