#include "vaultkit/keyring/LibsecretApi.h"

#include "vaultkit/keyring/Keyring.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace vaultkit {

const LibsecretApi& LibsecretApi::get() {
    static std::mutex mutex;
    static LibsecretApi api;
    static std::atomic<bool> loaded{false};
    if (loaded.load(std::memory_order_acquire)) return api;
    const std::lock_guard lock(mutex);
    if (loaded.load(std::memory_order_relaxed)) return api;
    // Kept for the rest of the process: GLib's types cannot be unloaded.
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw KeyringError(KeyringError::Kind::noService,
                           std::string("cannot load ") + soname + ": " + (why ? why : "unknown error"));
    }
    LibsecretApi found;
    std::string missing;
#define HC_LIBSECRET_RESOLVE(name)                                                                           \
    found.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));                                \
    if (!found.name) missing += std::string(missing.empty() ? "" : ", ") + #name;
    HC_LIBSECRET_FUNCTIONS(HC_LIBSECRET_RESOLVE)
#undef HC_LIBSECRET_RESOLVE
    if (!missing.empty())
        throw KeyringError(KeyringError::Kind::noService,
                           std::string(soname) + " lacks " + missing);
    api = found;
    loaded.store(true, std::memory_order_release);
    return api;
}

} // namespace vaultkit
