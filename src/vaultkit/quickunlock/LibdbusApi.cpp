#include "vaultkit/quickunlock/LibdbusApi.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>

namespace vaultkit {

const LibdbusApi& LibdbusApi::get() {
    static std::mutex mutex;
    static LibdbusApi api;
    static std::atomic<bool> loaded{false};
    if (loaded.load(std::memory_order_acquire)) return api;
    const std::lock_guard lock(mutex);
    if (loaded.load(std::memory_order_relaxed)) return api;
    // Kept for the rest of the process, as a linked library would be.
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw std::runtime_error(std::string("cannot load ") + soname + ": " + (why ? why : "unknown error"));
    }
    LibdbusApi found;
    std::string missing;
#define HC_LIBDBUS_RESOLVE(name)                                                                             \
    found.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));                                \
    if (!found.name) missing += std::string(missing.empty() ? "" : ", ") + #name;
    HC_LIBDBUS_FUNCTIONS(HC_LIBDBUS_RESOLVE)
#undef HC_LIBDBUS_RESOLVE
    if (!missing.empty()) throw std::runtime_error(std::string(soname) + " lacks " + missing);
    api = found;
    loaded.store(true, std::memory_order_release);
    return api;
}

} // namespace vaultkit
